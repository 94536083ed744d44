#pragma once

#include <atomic>

// Ctrl-C, SIGTERM and SIGHUP only raise a flag: the operation notices it the next time it lets the
// console handle its events, and ends in order from there.
void InstallInterruptHandlers();

// 0, or the signal that arrived. Written by the handler on whichever thread takes the signal,
// read by every board's thread: an atomic that needs no lock, which a handler may write.
extern std::atomic<int> InterruptSignal;
static_assert(std::atomic<int>::is_always_lock_free);

inline bool InterruptRequested() {
    return InterruptSignal.load(std::memory_order_relaxed) != 0;
}
