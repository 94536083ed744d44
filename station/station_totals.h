#pragma once

#include "station/exit_code.h"

#include <QString>

#include <map>
#include <mutex>
#include <optional>

struct BoardOutcome;
class Lot;

// How a board's operation ended, as the station counts it. A board stopped (Stop, Escape,
// Ctrl-C) is counted apart: it did not fail, and it is not done.
enum class BoardEnd { Passed, Failed, Stopped };
BoardEnd EndOf(ExitCode code);

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

// The boards a station has served, counted once as each board's last attempt ends, whichever
// front end shows them; with a lot, counted into the lot too. Any thread may add.
class StationTotals {
public:
    // Counts the board's end; what went wrong keeping the lot's counts, else empty.
    QString add(const BoardOutcome &outcome);
    BoardCounts counts() const;
    // How many boards ended with each result.
    std::map<QString, int> byResult() const;
    void reset();
    // The lot each board is counted into as well; none: nullptr. It must outlive the boards.
    void setLot(Lot *lot);

private:
    mutable std::mutex mutex_;
    BoardCounts counts_;
    std::map<QString, int> byResult_;
    Lot *lot_ = nullptr;
};
