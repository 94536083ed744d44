#pragma once

#include "station/board_run.h"

#include <QString>

#include <map>
#include <vector>

// The row's last words for a port: its result, time and rate, and its exit code.
QString BoardResultText(const BoardOutcome &outcome);

// One row per device: port, device, result, exit code, seconds, bytes per second.
QString SummaryTable(const std::vector<BoardOutcome> &outcomes);

// What a watch has done so far: counts only, for a watch may run for days.
struct WatchTally {
    int done = 0;
    int failed = 0;
    std::map<QString, int> byResult;
    void add(const BoardOutcome &outcome);
};

// The watch's totals: boards done, succeeded and failed, then how many ended with each result.
QString WatchTotals(const WatchTally &tally);
