#pragma once

#include <sys/resource.h>

// CPU seconds, user and system, in a usage record and for a process or its children so far.
inline double CpuSecondsOf(const rusage &usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

inline double CpuSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    ::getrusage(who, &usage);
    return CpuSecondsOf(usage);
}
