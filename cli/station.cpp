#include "cli/station.h"

#include "base/counted.h"
#include "cli/journal_stream.h"
#include "cli/port_output.h"
#include "cli/service_manager.h"
#include "cli/station_summary.h"
#include "cli/station_view.h"
#include "cli/terminal_output.h"
#include "plant/publisher.h"
#include "station/board_end.h"
#include "station/boards.h"
#include "station/end_programs.h"
#include "station/lot.h"
#include "station/station_run.h"
#include "station/station_totals.h"
#include "station/station_watch.h"
#include "station/stop_signals.h"

#include <QProcess>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the view is redrawn, and how often a watch looks for ports.
constexpr auto RedrawInterval = 100ms;
constexpr auto ScanInterval = 250ms;
// At the end, how long the run's last records may take to reach a broker that takes them; after
// Ctrl-C, less. What is left waits in the outbox for the next run.
constexpr auto PublishingEnd = 10s;
constexpr auto PublishingEndInterrupted = 2s;
// How long a watch told to finish gives the boards it runs: less than a service's stop allows
// (its unit's TimeoutStopSec= is this and half a minute), so that those still running then are
// stopped in order, their records written, before the service manager kills what is left.
constexpr auto FinishTime = std::chrono::seconds(TORVANE_FINISH_SECONDS);

// Lines on `stream`, each with its priority where the stream is the journal's.
void put(std::FILE *stream, const QString &lines, JournalPriority priority) {
    QByteArray bytes = lines.toLocal8Bit();
    if (IsJournalStream(::fileno(stream)))
        bytes = WithPriority(bytes, priority);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void say(const QString &text, JournalPriority priority = JournalPriority::Info) {
    put(stderr, text + QLatin1Char('\n'), priority);
}

void printLine(const QString &text, JournalPriority priority = JournalPriority::Info) {
    put(stdout, text + QLatin1Char('\n'), priority);
}

// A board's own result line: an error in the journal when the board failed.
JournalPriority priorityOf(ExitCode code) {
    return EndOf(code) == BoardEnd::Failed ? JournalPriority::Error : JournalPriority::Info;
}

// The job by its steps' names: "Download Data"; "Download Loader, Download All, Verify Default".
QString jobName(const CliOptions &options) {
    return JobName(options.plan.steps);
}

// How a run on one port ended, in its last line: a device's verdict as its record words it
// ("Transfer failed!"); an interruption, a refusal or a record not written in the exit code's
// words.
QString onePortEnding(ExitCode code, const OperationResult &result) {
    const bool verdict = code != ExitCode::Interrupted && !result.succeeded() &&
                         (result.ending == Ending::Completed || result.ending == Ending::Error);
    return verdict ? ResultText(code, result) : QLatin1String(ExitCodeMeaning(code));
}

// The last line of a run on one port: the result, and on success the images' bytes and the rate
// they moved at. A job of several steps that failed names the step.
QString onePortResult(ExitCode code, const BoardOutcome &outcome, const CliOptions &options) {
    if (code != ExitCode::Success) {
        const QString what = options.plan.steps.size() > 1 && !outcome.stepName.isEmpty()
                                 ? QStringLiteral("%1 (step %2 of %3)")
                                       .arg(outcome.stepName)
                                       .arg(outcome.step + 1)
                                       .arg(options.plan.steps.size())
                                 : jobName(options);
        return QStringLiteral("torvane-cli: %1 on %2: %3 (exit %4)")
            .arg(what, options.portName, onePortEnding(code, outcome.result))
            .arg(int(code));
    }
    const qint64 bytes = JobBytes(options.plan.steps);
    const double seconds = std::chrono::duration<double>(outcome.operationTime).count();
    const double rate = seconds > 0 ? double(bytes) / seconds : 0;
    return QStringLiteral("torvane-cli: success: %1, %2 bytes in %3 s, %4 bytes/s")
        .arg(jobName(options))
        .arg(bytes)
        .arg(seconds, 0, 'f', 3)
        .arg(qint64(rate));
}

// One port: its lines on the terminal as they come.
class OnePortEvents : public StationEvents {
public:
    OnePortEvents() : output_(stdout, stderr, CanRedraw(STDERR_FILENO)) {}
    ConsoleOutput &output() { return output_; }
    ConsoleOutput &started(int, const QString &) override { return output_; }
    void ended(int, const BoardOutcome &) override {}

private:
    TerminalOutput output_;
};

// Several ports: a line each in the view, kept by the port's name.
class ViewEvents : public StationEvents {
public:
    explicit ViewEvents(StationView &view) : view_(view) {}

    // The view's row for the port, made on first use.
    int row(const QString &port) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return rowLocked(port);
    }
    ConsoleOutput &started(int board, const QString &port) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        const int row = rowLocked(port);
        rowOfBoard_[board] = row;
        return outputs_.try_emplace(row, view_, row).first->second;
    }
    void ended(int board, const BoardOutcome &outcome) override {
        int row = 0;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            row = rowOfBoard_.at(board);
        }
        view_.ended(row, BoardResultText(outcome), EndOf(outcome.code));
    }

private:
    int rowLocked(const QString &port) {
        const auto [it, added] = rows_.try_emplace(port, 0);
        if (added)
            it->second = view_.addRow(port);
        return it->second;
    }

    StationView &view_;
    std::mutex mutex_;
    std::map<QString, int> rows_;
    std::map<int, int> rowOfBoard_;
    std::map<int, PortOutput> outputs_; // by row: one a port, however many boards it serves
};

// What the station has to say beside its boards: why records wait, the broker back, the outbox
// full (warnings, in the journal); what the programs at a board's end wrote and what became of
// them.
template <typename Say> void stationNotes(const StationRun &run, EndPrograms &programs, Say say) {
    if (Publisher *publisher = run.publisher().get()) {
        for (const QString &note : publisher->takeNotes())
            say(QStringLiteral("torvane-cli: %1").arg(note), JournalPriority::Warning);
    }
    for (const QString &note : programs.takeNotes())
        say(QStringLiteral("torvane-cli: %1").arg(note), JournalPriority::Info);
}

// The batch has ended: its program runs after the boards' programs, while the run's records
// are delivered where the broker takes them; then what is left is said.
void finishRun(const StationRun &run, EndPrograms &programs, const StationTotals &totals,
               bool interrupted) {
    programs.batchEnded(totals.counts(), run.plan().lot);
    if (Publisher *publisher = run.publisher().get())
        publisher->finish(interrupted ? PublishingEndInterrupted : PublishingEnd);
    programs.finish(EndProgramsPatience);
    stationNotes(run, programs,
                 [](const QString &text, JournalPriority priority) { say(text, priority); });
}

QString refusalText(const StationRefusal &refusal) {
    using Kind = StationRefusal::Kind;
    // A refused file of a job's step says which step it is.
    const QString step =
        refusal.step > 0 ? QStringLiteral("step %1 (%2): ").arg(refusal.step).arg(refusal.stepName)
                         : QString();
    switch (refusal.kind) {
    case Kind::File:
        break;
    case Kind::SameDevice:
        return QStringLiteral("--port %1 and --port %2 are the same device (%3): one device, one "
                              "owner")
            .arg(refusal.first, refusal.second, refusal.place);
    case Kind::SameTarget:
        return QStringLiteral("--port %1 and --port %2 would both save to %3")
            .arg(refusal.first, refusal.second, refusal.place);
    case Kind::ImageDiffers:
        return step + QStringLiteral("%1 is not the image expected: its SHA-256 is %2, "
                                     "--expect-sha256 says %3; no device was started")
                          .arg(refusal.place, refusal.actual, refusal.expected);
    }
    return refusal.error.isEmpty() ? refusal.error : step + refusal.error;
}

// The lot's counts so far, after a run's result: with what other stations counted, and with
// this run's last counts written if a write missed them.
void printLot(const StationRun &run) {
    Lot *lot = run.lot();
    if (!lot)
        return;
    if (QString why; !lot->refresh(&why))
        say(QStringLiteral("torvane-cli: lot %1: %2").arg(lot->name(), why));
    printLine(QStringLiteral("torvane-cli: lot ") + LotLine(*lot));
}

// A refusal before any board: what was wrong, and for a refused file the result line. The
// station did not start: an error, in the journal.
int refuse(const StationRefusal &refusal, const CliOptions &options) {
    const bool one = !options.station();
    if (!refusal.status.isEmpty())
        printLine(refusal.status);
    if (const QString text = refusalText(refusal); !text.isEmpty())
        say(QStringLiteral("torvane-cli: %1").arg(text), JournalPriority::Error);
    if (one)
        printLine(onePortResult(refusal.code, BoardOutcome{}, options), JournalPriority::Error);
    else if (refusal.code == ExitCode::FileRefused || refusal.code == ExitCode::ImageNotThere)
        printLine(QStringLiteral("torvane-cli: %1: %2 (exit %3)")
                      .arg(jobName(options), QLatin1String(ExitCodeMeaning(refusal.code)))
                      .arg(int(refusal.code)),
                  JournalPriority::Error);
    return int(refusal.code);
}

// Where each board's record goes, the programs at a board's end too.
RecordTargets withPrograms(RecordTargets records, EndPrograms &programs) {
    records.programs = &programs;
    return records;
}

// The last lines of a run on several ports: the table of the boards, the lot, the result.
int severalPortsResult(const CliOptions &options,
                       std::vector<std::optional<BoardOutcome>> &outcomes,
                       const StationTotals &totals, const StationRun &run, Clock::duration time) {
    std::vector<BoardOutcome> all;
    for (auto &outcome : outcomes)
        all.push_back(std::move(*outcome));
    // A board cut short by Ctrl-C says so itself; one that had ended keeps its result.
    const BoardCounts counts = totals.counts();
    const int failed = counts.failed + counts.stopped;
    const double wall = std::chrono::duration<double>(time).count();
    put(stdout, SummaryTable(all), JournalPriority::Info);
    printLot(run);
    if (counts.stopped) {
        printLine(QStringLiteral("torvane-cli: %1: interrupted (exit 130)").arg(jobName(options)));
        return int(ExitCode::Interrupted);
    }
    if (failed) {
        // Boards done whose records the report did not take are not to be done again.
        const auto unrecorded = std::count_if(all.begin(), all.end(), [](const BoardOutcome &o) {
            return o.code == ExitCode::FileNotSaved && o.result.succeeded();
        });
        printLine(QStringLiteral("torvane-cli: %1: %2 of %3 succeeded%4; some devices failed "
                                 "(exit 10)")
                      .arg(jobName(options))
                      .arg(int(all.size()) - failed)
                      .arg(Counted(qint64(all.size()), "device", "devices"))
                      .arg(unrecorded ? QStringLiteral("; %1 %2 done, but not recorded")
                                            .arg(unrecorded)
                                            .arg(ForCount(unrecorded, "was", "were"))
                                      : QString()));
        return int(ExitCode::SomeDevicesFailed);
    }
    printLine(QStringLiteral("torvane-cli: success: %1 on %2, %3 bytes each, in %4 s")
                  .arg(jobName(options))
                  .arg(Counted(qint64(all.size()), "device", "devices"))
                  .arg(JobBytes(options.plan.steps))
                  .arg(wall, 0, 'f', 3));
    return int(ExitCode::Success);
}

int runPorts(StationRun &run, const CliOptions &options, const ComPortSource &comPorts,
             EndPrograms &programs) {
    std::vector<BoardJob> jobs;
    QStringList notes;
    auto refusal = run.jobsForPorts(comPorts, &jobs, &notes);
    if (!refusal)
        refusal = run.begin();
    if (refusal)
        return refuse(*refusal, options);
    for (const QString &note : notes)
        say(QStringLiteral("torvane-cli: %1").arg(note));

    const bool one = !options.station();
    std::optional<StationView> view;
    std::optional<ViewEvents> viewEvents;
    OnePortEvents onePort;
    StationEvents *events = &onePort;
    if (!one) {
        view.emplace(stdout, stderr, CanRedraw(STDERR_FILENO), ::isatty(STDOUT_FILENO) == 1);
        events = &viewEvents.emplace(*view);
    }

    CatchStopSignals();
    StationTotals totals;
    totals.setLot(run.lot());
    std::vector<std::optional<BoardOutcome>> outcomes(jobs.size());
    ServiceManager service;
    {
        Boards boards(*events, withPrograms(run.records(), programs), &totals);
        std::map<int, size_t> place; // board -> its port's place among the ports named
        for (size_t i = 0; i < jobs.size(); ++i)
            place[boards.launch(std::move(jobs[i]))] = i;
        const auto state = [&] {
            return QStringLiteral("%1 of %2 running")
                .arg(boards.running())
                .arg(Counted(qint64(jobs.size()), "board", "boards"));
        };
        service.ready(state());
        while (boards.running() > 0) {
            for (auto &[board, outcome] : boards.collect(RedrawInterval))
                outcomes[place.at(board)] = std::move(outcome);
            // A terminal's progress line is the board's while it runs: the station speaks after.
            if (view) {
                stationNotes(run, programs, [&](const QString &text, JournalPriority priority) {
                    view->note(text, priority);
                });
                view->refresh();
            }
            service.alive(state());
        }
    }
    service.stopping(QStringLiteral("every board has ended"));
    // The boards' time, whatever the programs at their end and the broker take after it.
    const Clock::duration time = Clock::now() - run.start();
    if (view)
        view->close();
    finishRun(run, programs, totals,
              one ? outcomes.front()->code == ExitCode::Interrupted : StopSignalled());
    if (!one)
        return severalPortsResult(options, outcomes, totals, run, time);
    const BoardOutcome &outcome = *outcomes.front();
    printLot(run);
    printLine(onePortResult(outcome.code, outcome, options), priorityOf(outcome.code));
    return int(outcome.code);
}

// What one look of the watch found, shown; the boards it found launched, each known by its port.
void showLook(const WatchStep &step, StationView &view, ViewEvents &events, Boards &boards,
              std::map<int, QString> &names) {
    for (const QString &note : step.notes)
        view.note(QStringLiteral("torvane-cli: %1").arg(note));
    for (const QString &name : step.seen.appeared)
        events.row(name);
    for (const auto &[name, last] : step.seen.removed)
        view.event(events.row(name), last.isEmpty()
                                         ? QStringLiteral("board removed")
                                         : QStringLiteral("board removed; it ended: %1").arg(last));
    for (const auto &[name, first] : step.seen.servedAs)
        view.event(events.row(name), QStringLiteral("the board served on %1").arg(first));
    for (const auto &[port, job] : step.jobs) {
        view.event(events.row(port.name), QStringLiteral("board found on %1").arg(port.device));
        names[boards.launch(job)] = port.name;
    }
}

// The watch in a few words, for the line below the ports and the service's status. A board cut
// short is not done.
QString watchState(const BoardCounts &counts, int running) {
    if (StopSignalled())
        return QStringLiteral("stopping: %1 running").arg(Counted(running, "board", "boards"));
    if (FinishSignalled())
        return QStringLiteral("finishing: %1 running; no new board is taken")
            .arg(Counted(running, "board", "boards"));
    return QStringLiteral("watching: %1 done, %2 failed, %3 running")
        .arg(Counted(counts.passed + counts.failed, "board", "boards"))
        .arg(counts.failed)
        .arg(running);
}

int watchPorts(StationRun &run, const CliOptions &options, const ComPortSource &comPorts,
               EndPrograms &programs) {
    if (const auto refusal = run.begin())
        return refuse(*refusal, options);
    StationView view(stdout, stderr, CanRedraw(STDERR_FILENO), ::isatty(STDOUT_FILENO) == 1);
    ViewEvents events(view);
    StationWatch watch(run, comPorts);
    StationTotals totals;
    totals.setLot(run.lot());
    std::map<int, QString> names; // board -> the port it runs on
    CatchStopSignals();
    Boards boards(events, withPrograms(run.records(), programs), &totals);
    ServiceManager service;
    const auto state = [&] { return watchState(totals.counts(), boards.running()); };
    const auto take = [&](Clock::duration timeout) {
        for (auto &[board, outcome] : boards.collect(timeout)) {
            watch.ended(names.at(board), BoardResultText(outcome));
            names.erase(board);
        }
        view.setFooter(state() + (FinishSignalled() || StopSignalled()
                                      ? QString()
                                      : QStringLiteral("; Ctrl-C ends the watch")));
        stationNotes(run, programs, [&](const QString &text, JournalPriority priority) {
            view.note(text, priority);
        });
        view.refresh();
        service.alive(state());
    };

    service.ready(state());
    Clock::time_point nextScan = Clock::now();
    while (!StopSignalled() && !FinishSignalled()) {
        if (Clock::now() >= nextScan) {
            nextScan = Clock::now() + ScanInterval;
            showLook(watch.look(), view, events, boards, names);
        }
        take(RedrawInterval);
    }
    service.stopping(state());
    // Told to finish (a restart for an upgrade): no look, so no new board; those running end as
    // they will, within the time a service's stop allows them, and are then stopped in order.
    const Clock::time_point finishBy = Clock::now() + FinishTime;
    if (!StopSignalled())
        view.note(
            QStringLiteral("torvane-cli: %1; the watch ends after them (SIGUSR1)").arg(state()));
    while (boards.running() > 0 && !StopSignalled()) {
        if (Clock::now() >= finishBy) {
            view.note(QStringLiteral("torvane-cli: the %1 s given to finish have passed: the "
                                     "boards still running are stopped")
                          .arg(std::chrono::seconds(FinishTime).count()));
            StopSignal.store(SIGUSR1, std::memory_order_relaxed);
        }
        take(RedrawInterval);
    }
    // Ctrl-C: every running operation ends in order (each sees it at its next poll).
    while (boards.running() > 0)
        take(RedrawInterval);
    view.close();
    finishRun(run, programs, totals, true);
    put(stdout, WatchTotals(totals), JournalPriority::Info);
    printLot(run);
    // A board cut short by Ctrl-C is not done.
    const BoardCounts counts = totals.counts();
    return counts.failed + counts.stopped ? int(ExitCode::SomeDevicesFailed)
                                          : int(ExitCode::Success);
}

} // namespace

int RunStation(const CliOptions &options, const ComPortSource &comPorts) {
    StationRun run(options.plan, &StopSignal);
    if (const auto refusal = run.open())
        return refuse(*refusal, options);
    EndPrograms programs(QProcess::splitCommand(options.plan.onBoardEnd),
                         QProcess::splitCommand(options.plan.onBatchEnd));
    return options.plan.watch ? watchPorts(run, options, comPorts, programs)
                              : runPorts(run, options, comPorts, programs);
}
