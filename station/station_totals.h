#pragma once

#include "station/board_counts.h"
#include "station/board_end.h"

#include <QString>

#include <map>
#include <mutex>

struct BoardOutcome;
class Lot;

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
