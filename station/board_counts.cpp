#include "station/board_counts.h"

std::optional<double> BoardCounts::yield() const {
    const int judged = passed + failed;
    if (judged == 0)
        return std::nullopt;
    return double(passed) / judged;
}

void BoardCounts::add(BoardEnd end) {
    switch (end) {
    case BoardEnd::Passed:
        ++passed;
        break;
    case BoardEnd::Failed:
        ++failed;
        break;
    case BoardEnd::Stopped:
        ++stopped;
        break;
    }
}

void BoardCounts::add(const BoardCounts &other) {
    passed += other.passed;
    failed += other.failed;
    stopped += other.stopped;
}
