#pragma once

#include "station/board_run.h"

#include <QString>

#include <vector>

class StationTotals;

// The row's last words for a port: its result, time and rate or its cause, and its exit code.
QString BoardResultText(const BoardOutcome &outcome);

// One row per device: port, device, result, exit code, seconds, bytes per second, and where a
// device failed, the cause.
QString SummaryTable(const std::vector<BoardOutcome> &outcomes);

// The watch's totals: the boards served, how many succeeded, failed and were stopped, then how
// many ended with each result.
QString WatchTotals(const StationTotals &totals);
