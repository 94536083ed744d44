#pragma once

#include "station/board_run.h"

#include <chrono>
#include <functional>

class ConsoleOutput;

// How long a board rests before it tries again: a device that hung up or was reset has a moment
// to come back.
inline constexpr std::chrono::milliseconds RetryPause{1000};

// Whether running the step again from its start may cure how it ended: the device did not
// answer, refused or lost a block, failed its verify, erase or program, or went away. A refusal
// (the file; the port absent, held by another program or not allowed), a file not saved, a
// read-back that differs and a stop never are.
bool RetryMayCure(const BoardOutcome &outcome);

// Runs the job as RunBoard does, and again from the step that failed after RetryPause while it
// failed in a way trying again may cure, up to job.attempts in all, unless a stop came. Each
// attempt is shown on `output` and kept (its own record, numbered, with the steps it ran); the
// last attempt's outcome is the board's.
BoardOutcome RunAttempts(BoardJob job, ConsoleOutput &output,
                         const std::function<void(BoardOutcome &)> &keep);
