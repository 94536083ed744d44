#pragma once

#include "station/stop_flag.h"

// Ctrl-C, SIGTERM and SIGHUP only raise a flag: the operation notices it the next time it lets the
// console handle its events, and ends in order from there.
void InstallInterruptHandlers();

// 0, or the signal that arrived. Written by the handler on whichever thread takes the signal,
// read by every board's thread.
extern StopFlag InterruptSignal;

inline bool InterruptRequested() {
    return InterruptSignal.load(std::memory_order_relaxed) != 0;
}
