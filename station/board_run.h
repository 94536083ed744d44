#pragma once

#include "ops/operation_request.h"
#include "ops/operation_result.h"
#include "ports/com_port_map.h"
#include "ports/port_identity.h"
#include "station/board_record.h"
#include "station/exit_code.h"
#include "station/stop_flag.h"

#include <chrono>
#include <functional>

class ConsoleOutput;

// One device's operation, as the station hands it to a thread of its own.
struct BoardJob {
    OperationRequest request; // for an upload, `file` is this port's own
    QString portName;         // as the operator named it, or as a watched pattern found it
    ComPortMap comPorts;      // where COM numbers lead, looked up before the thread starts
    PortIdentity identity;
    bool overwrite = false;
    bool trace = false;
    std::chrono::steady_clock::time_point start; // of the run: the trace's times count from it
    const StopFlag *stop = nullptr;              // ends the operation in order when set
    QString lot;                                 // the lot its records name; empty for none
    int attempts = 1; // at most: 1 and the retries a failure that trying again may cure earns
    int attempt = 1;  // this one
    // A board a watch found: the node it found (its number and inode) is the one opened, and a
    // process that has it open is waited for a while (a probe of a board just plugged in).
    bool watched = false;
    quint64 number = 0;
    quint64 inode = 0;
    // Why the board is not to be served (a watch's board whose upload file is the report): it
    // ends at once, failed, with its record. Empty for a board to serve.
    QString refused;
};

// How it ended.
struct BoardOutcome {
    OperationResult result;
    ExitCode code = ExitCode::Success;
    // The time from "Connectting..." to "Update Success!", zero unless it succeeded.
    std::chrono::steady_clock::duration operationTime{};
    BoardRecord record;
    int attempts = 1; // as the job allowed: the last attempt's outcome is the board's
};

// The record of the job's board as it begins: where, which device, what it moves, in which lot;
// its start now.
BoardRecord JobRecord(const BoardJob &job);

// Runs the job with a serial component, state and console of its own, from the upload target's
// check to the port let go, and shows it on `output`. Nothing in it is shared with another
// board's run but what the job holds read-only (the image's bytes). `keep` is handed the
// outcome once, as soon as it is known, to keep its record (and may make a success "file not
// saved"): a success as "Update Success!" is shown, before an upload's pause, so that a kill in
// the pause loses no record of the file it saved.
BoardOutcome RunBoard(const BoardJob &job, ConsoleOutput &output,
                      const std::function<void(BoardOutcome &)> &keep);

// Why a board was stopped, from what set `stop`: a signal's number, or the operator's Stop.
QString StopCause(const StopFlag *stop);
