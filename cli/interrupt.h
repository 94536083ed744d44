#pragma once

#include <csignal>

// Ctrl-C and SIGTERM only raise a flag: the operation notices it the next time it lets the
// console handle its events, and ends in order from there.
void InstallInterruptHandlers();

extern volatile std::sig_atomic_t InterruptSignal; // 0, or the signal that arrived

inline bool InterruptRequested() {
    return InterruptSignal != 0;
}
