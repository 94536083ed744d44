#pragma once

#include "station/board_end.h"

#include <optional>

// The boards that ended, by how.
struct BoardCounts {
    int passed = 0;
    int failed = 0;
    int stopped = 0;

    int served() const { return passed + failed + stopped; }
    // The share of the boards judged that passed (a stopped board was not judged); none before
    // the first.
    std::optional<double> yield() const;
    void add(BoardEnd end);
    void add(const BoardCounts &other);
};
