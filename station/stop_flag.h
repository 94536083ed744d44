#pragma once

#include <atomic>

// Set by whatever ends a run (Ctrl-C, the window's Stop), read by every board at its next poll.
// Lock-free, so that a signal handler may set it: its value is the signal, or any non-zero.
using StopFlag = std::atomic<int>;
static_assert(StopFlag::is_always_lock_free);

inline bool StopRequested(const StopFlag *flag) {
    return flag && flag->load(std::memory_order_relaxed) != 0;
}
