#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant ends the run at once, so that libFuzzer keeps the input and the replay of
// the corpus fails.
inline void Require(bool holds, const char *invariant) {
    if (holds)
        return;
    std::fprintf(stderr, "invariant broken: %s\n", invariant);
    std::abort();
}
