#include "station/station_totals.h"

#include "station/board_run.h"
#include "station/lot.h"

BoardEnd EndOf(ExitCode code) {
    if (code == ExitCode::Success)
        return BoardEnd::Passed;
    return code == ExitCode::Interrupted ? BoardEnd::Stopped : BoardEnd::Failed;
}

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
