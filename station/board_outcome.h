#pragma once

#include "ops/operation_result.h"
#include "station/board_record.h"
#include "station/exit_code.h"

#include <chrono>

// How a board's operation ended.
struct BoardOutcome {
    OperationResult result;
    ExitCode code = ExitCode::Success;
    // The time from "Connectting..." to "Update Success!", zero unless it succeeded.
    std::chrono::steady_clock::duration operationTime{};
    BoardRecord record;
    int attempts = 1; // as the job allowed: the last attempt's outcome is the board's
    // The step of the job it ended in, from 0: the one that failed, or the last one; and how
    // many the job has. A retry goes on from `step`.
    int step = 0;
    int steps = 1;
    QString stepName; // "Verify Software"
    qint64 bytes = 0; // the images of the steps that succeeded
};
