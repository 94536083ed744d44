#include "station/station_totals.h"

#include "station/board_run.h"
#include "station/lot.h"

QString StationTotals::add(const BoardOutcome &outcome) {
    const BoardEnd end = EndOf(outcome.code);
    Lot *lot = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        counts_.add(end);
        ++byResult_[outcome.record.result];
        lot = lot_;
    }
    QString why;
    if (lot)
        lot->add(end, &why);
    return why;
}

BoardCounts StationTotals::counts() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

std::map<QString, int> StationTotals::byResult() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return byResult_;
}

void StationTotals::reset() {
    const std::lock_guard<std::mutex> lock(mutex_);
    counts_ = {};
    byResult_.clear();
}

void StationTotals::setLot(Lot *lot) {
    const std::lock_guard<std::mutex> lock(mutex_);
    lot_ = lot;
}
