#pragma once

#include "station/board_job.h"
#include "station/board_outcome.h"
#include "station/board_record.h"
#include "station/stop_flag.h"

#include <functional>

class ConsoleOutput;

// The record of the job's board as it begins: where, which device, what its first step moves, in
// which lot; its start now.
BoardRecord JobRecord(const BoardJob &job);

// Runs the job's steps in order, from job.firstStep, with a serial component, state and console
// of its own, from the upload targets' check to the port let go, and shows them on `output`; the
// port stays open from step to step, and a step that fails ends the job. Nothing in it is shared
// with another board's run but what the job holds read-only (the images' bytes). `keep` is
// handed the outcome once, as soon as it is known, to keep its record (and may make a success
// "file not saved"): a success as its last step shows "Update Success!", before an upload's
// pause, so that a kill in the pause loses no record of the file it saved.
BoardOutcome RunBoard(const BoardJob &job, ConsoleOutput &output,
                      const std::function<void(BoardOutcome &)> &keep);

// Why a board was stopped, from what set `stop`: a signal's number, or the operator's Stop.
QString StopCause(const StopFlag *stop);
