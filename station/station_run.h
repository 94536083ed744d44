#pragma once

#include "link/transfer_mode.h"
#include "ports/com_numbering.h"
#include "ports/port_watch.h"
#include "station/board_run.h"
#include "station/boards.h"
#include "station/held_image.h"
#include "station/report_file.h"
#include "station/station_plan.h"
#include "station/station_refusal.h"
#include "station/stop_flag.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class Lot;
class RecordSequence;

// What a run holds while its boards run: the report the records go to and the download image,
// read once and held locked, that every board is sent.
class Publisher;

class StationRun {
public:
    StationRun(StationPlan plan, const StopFlag *stop);
    ~StationRun();

    // Checks the report, holds the download file (and checks its SHA-256 against the one
    // expected) and reads the lot's counts; nothing when all are as they should be. Nothing is
    // made yet: a report that is not there is made by begin(), a lot at its first board.
    std::optional<StationRefusal> open();
    // Makes the report when it is not there yet, and starts publishing where the plan says;
    // called once every check has passed, before the first board.
    std::optional<StationRefusal> begin();
    // A front end that outlives its runs (a window) keeps their publisher: the next run goes on
    // with it when it publishes the same way, so records left in flight are delivered.
    void publishWith(std::shared_ptr<Publisher> publisher);

    // The jobs for the ports the plan names, each port resolved (COM names through `comPorts`,
    // looked up only when one is named) and checked before any is touched: one device, one owner;
    // one file per board. `notes` say where the ports lead.
    std::optional<StationRefusal> jobsForPorts(const ComPortSource &comPorts,
                                               std::vector<BoardJob> *jobs,
                                               QStringList *notes) const;
    // The job for a port a watch found: `path` opens it, or for a COM name `map` leads there;
    // `present` is what the system reports.
    BoardJob job(const FoundPort &port, const ComPortMap &map,
                 const std::vector<PresentPort> &present) const;
    // Why a board on `port` may not be served: its upload file is the report. Empty otherwise.
    QString conflict(const BoardJob &job) const;

    const StationPlan &plan() const { return plan_; }
    ReportFile *report() const { return report_.get(); }
    // The records' publisher once begin() has started it; none when the plan does not publish.
    const std::shared_ptr<Publisher> &publisher() const { return publisher_; }
    // Where the boards' records go once begin() has made it, numbered wherever they are kept.
    RecordTargets records() const;
    // The plan's lot, once open() has read it; else none.
    Lot *lot() const { return lot_.get(); }
    std::chrono::steady_clock::time_point start() const { return start_; }

private:
    BoardJob jobFor(const QString &port) const;

    StationPlan plan_;
    const StopFlag *stop_;
    std::chrono::steady_clock::time_point start_;
    std::unique_ptr<ReportFile> report_;
    std::shared_ptr<Publisher> publisher_;
    std::unique_ptr<RecordSequence> sequence_;
    HeldImage image_;
    std::unique_ptr<Lot> lot_;
};
