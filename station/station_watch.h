#pragma once

#include "ports/com_port_map.h"
#include "ports/port_watch.h"
#include "station/board_run.h"
#include "station/watch_book.h"

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

class StationRun;

// What one look of a watch asks of its front end.
struct WatchStep {
    QStringList notes; // each said once: ports.ini's problems, ports skipped, ports out of reach
    WatchLook seen;    // names that appeared, boards taken off, boards served under another name
    // Boards to serve now; a job `refused` ends at once, failed, with its record.
    std::vector<std::pair<FoundPort, BoardJob>> jobs;
};

// A station's watch: the ports its patterns find at each look, the bookkeeping of their boards
// and the jobs for the boards to serve, the same for every front end.
class StationWatch {
public:
    StationWatch(const StationRun &run, ComPortSource comPorts);

    WatchStep look();
    // The board served on `name` has ended; `result` is what became of it.
    void ended(const QString &name, const QString &result) { book_.ended(name, result); }

private:
    const StationRun &run_;
    PortWatch ports_;
    WatchBook book_;
};
