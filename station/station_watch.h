#pragma once

#include "ports/com_port_map.h"
#include "ports/port_watch.h"
#include "station/board_run.h"
#include "station/watch_book.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
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
// and the jobs for the boards to serve, the same for every front end. An upload's file is one
// board's: a board whose file is that of another port's board running now, or saved by another
// port's board in this watch, is refused before its transfer, as two such ports are refused
// together without a watch. A port's own earlier file is covered as --overwrite says.
class StationWatch {
public:
    StationWatch(const StationRun &run, ComPortSource comPorts);

    WatchStep look();
    // The board served on `name` has ended; `result` is what became of it.
    void ended(const QString &name, const QString &result);

private:
    // An upload file of this watch, by its whole path.
    struct Upload {
        QString port; // the port whose board saves it now, or saved it
        bool running = false;
        bool saved = false;
        QByteArray before; // the file as it was when the running board began
    };
    // Why the board `job` on `port` may not be served, and else its upload file taken.
    QString claimUpload(const FoundPort &port, const BoardJob &job);

    const StationRun &run_;
    PortWatch ports_;
    WatchBook book_;
    std::map<QString, Upload> uploads_;
};
