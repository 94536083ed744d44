#pragma once

#include "station/stop_flag.h"

// What a station does with the signals that end it, the same in every front end: Ctrl-C
// (SIGINT), SIGTERM and a closed terminal (SIGHUP; left ignored under nohup) only raise
// StopSignal, which every board sees at its next poll and ends in order; a second one ends the
// program at once, for an operator who will not wait. A reader that went away (SIGPIPE: a report
// or the output on a pipe) and a file-size limit (SIGXFSZ) fail the write they come from, which
// is said, instead of killing the station with every board on it. SIGUSR1 asks the station to
// finish rather than stop (a service restarted for an upgrade): it only raises FinishSignal. Called
// once, before the boards start.
void CatchStopSignals();

// 0, or the signal that arrived: written by the handler on whichever thread takes the signal,
// read by every board's thread. A signal is the process's, so this is too.
extern StopFlag StopSignal;

inline bool StopSignalled() {
    return StopSignal.load(std::memory_order_relaxed) != 0;
}

// 0, or SIGUSR1 once it arrived: a watch takes no new board, and ends once those it runs have
// ended.
extern StopFlag FinishSignal;

inline bool FinishSignalled() {
    return FinishSignal.load(std::memory_order_relaxed) != 0;
}
