#include "cli/station.h"

#include "cli/board_run.h"
#include "cli/held_image.h"
#include "cli/interrupt.h"
#include "cli/port_file_name.h"
#include "cli/port_list.h"
#include "cli/port_output.h"
#include "cli/port_watch.h"
#include "cli/report_file.h"
#include "cli/station_summary.h"
#include "cli/station_view.h"
#include "cli/terminal_output.h"
#include "link/com_numbering.h"
#include "link/system_ports.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSysInfo>
#include <QThread>

#include <condition_variable>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the view is redrawn, and how often a watch looks for ports.
constexpr auto RedrawInterval = 100ms;
constexpr auto ScanInterval = 250ms;

void say(const QString &text) {
    std::fputs(text.toLocal8Bit().append('\n').constData(), stderr);
    std::fflush(stderr);
}

// The boards' threads, and their outcomes as they end.
class Boards {
public:
    Boards(StationView &view, ReportFile *report) : view_(view), report_(report) {}
    ~Boards() {
        for (Worker &worker : workers_) {
            if (worker.thread)
                worker.thread->wait();
        }
    }

    void launch(BoardJob job, int row) {
        const std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back();
        Worker &worker = workers_.back();
        worker.row = row;
        const TransferMode mode = job.request.mode;
        // A QThread, not a bare thread: the serial port of a portable build wants the event
        // dispatcher that only a QThread has (its notifiers, and Windows' overlapped I/O).
        worker.thread.reset(
            QThread::create([this, &worker, job = std::move(job)] { run(worker, job); }));
        worker.thread->start();
        if (!worker.thread->isRunning() && !worker.thread->isFinished()) {
            // The system gives no more threads: this board is not served, the others go on.
            worker.thread.reset();
            BoardOutcome outcome;
            outcome.result.ending = Ending::Error;
            outcome.code = ExitCode::PortUnavailable;
            outcome.record.start = outcome.record.end = QDateTime::currentDateTimeUtc();
            outcome.record.host = QSysInfo::machineHostName();
            outcome.record.port = view_.rowName(row);
            outcome.record.operation =
                IsUpload(mode) ? QStringLiteral("upload") : QStringLiteral("download");
            outcome.record.exitCode = int(outcome.code);
            outcome.record.result = QLatin1String(ExitCodeMeaning(outcome.code));
            outcome.record.detail = QStringLiteral("cannot start a thread");
            view_.error(row, QStringLiteral("error: %1").arg(outcome.record.detail));
            QString why;
            if (report_ && !report_->append(RecordLine(outcome.record), &why))
                view_.error(row, why);
            view_.ended(row, BoardResultText(outcome), true);
            worker.outcome = std::move(outcome);
        }
    }

    int running() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return int(workers_.size());
    }

    // The boards that ended, waiting up to `timeout` for one when none has.
    std::vector<std::pair<int, BoardOutcome>> collect(Clock::duration timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto ended = [this] {
            return std::any_of(workers_.begin(), workers_.end(),
                               [](const Worker &w) { return w.outcome.has_value(); });
        };
        done_.wait_for(lock, timeout, ended);
        std::vector<std::pair<int, BoardOutcome>> outcomes;
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (!it->outcome) {
                ++it;
                continue;
            }
            if (it->thread)
                it->thread->wait();
            outcomes.emplace_back(it->row, std::move(*it->outcome));
            it = workers_.erase(it);
        }
        return outcomes;
    }

private:
    struct Worker {
        std::unique_ptr<QThread> thread;
        int row = 0;
        std::optional<BoardOutcome> outcome;
    };

    void run(Worker &worker, const BoardJob &job) {
        PortOutput output(view_, worker.row);
        BoardOutcome outcome = RunBoard(job, output);
        // Written as soon as the board is done: a crash of the station later loses nothing.
        if (report_) {
            QString why;
            if (!report_->append(RecordLine(outcome.record), &why)) {
                output.errorLine(QStringLiteral("torvane-cli: %1").arg(why));
                if (outcome.code == ExitCode::Success)
                    outcome.code = ExitCode::FileNotSaved;
                outcome.record.exitCode = int(outcome.code);
                outcome.record.detail = why;
            }
        }
        view_.ended(worker.row, BoardResultText(outcome), outcome.code != ExitCode::Success);
        const std::lock_guard<std::mutex> lock(mutex_);
        worker.outcome = std::move(outcome);
        done_.notify_all();
    }

    StationView &view_;
    ReportFile *report_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::list<Worker> workers_; // a worker stays where it is while its thread runs
};

struct Run {
    const CliOptions &options;
    StationView &view;
    std::shared_ptr<const QByteArray> image;
    Clock::time_point start;

    BoardJob job(const QString &port) const {
        BoardJob job;
        job.request.mode = options.mode;
        job.request.file =
            IsUpload(options.mode) ? UploadFileFor(options.file, port) : options.file;
        job.request.image = image;
        job.portName = port;
        job.overwrite = options.overwrite;
        job.trace = options.trace;
        job.start = start;
        return job;
    }
};

QString modeName(const CliOptions &options) {
    return QLatin1String(ModeName(options.mode));
}

int runPorts(const Run &run, const ComPortSource &comPorts, ReportFile *report) {
    const CliOptions &options = run.options;
    bool anyCom = false;
    for (const QString &port : options.ports) {
        CliOptions choice;
        ParsePort(port, choice);
        anyCom = anyCom || choice.portPath.isEmpty();
    }
    const ComPortMap map = anyCom ? comPorts() : ComPortMap();
    const std::vector<PresentPort> present = ScanPresentPorts();

    std::vector<BoardJob> jobs;
    QStringList notes;
    std::map<QString, QString> owners; // device -> the port that names it
    std::map<QString, QString> targets;
    for (const QString &port : options.ports) {
        CliOptions choice;
        ParsePort(port, choice);
        BoardJob job = run.job(port);
        job.request.portIndex = choice.portIndex;
        job.request.portPath = choice.portPath;
        if (choice.portPath.isEmpty())
            job.comPorts = map;
        const QString opens =
            choice.portPath.isEmpty() ? map.devicePath(choice.portIndex + 1) : choice.portPath;
        job.identity = IdentifyPort(opens, present);
        for (const QString &note : PortNotes(choice, map)) {
            if (!notes.contains(note))
                notes << note;
        }
        // One device, one owner: two names of one device would fight over it.
        const QString device = job.identity.device.isEmpty() ? port : job.identity.device;
        if (const auto [it, added] = owners.emplace(device, port); !added) {
            say(QStringLiteral("torvane-cli: --port %1 and --port %2 are the same device (%3): "
                               "one device, one owner")
                    .arg(it->second, port, device));
            return int(ExitCode::Usage);
        }
        if (IsUpload(options.mode)) {
            const QString target = QFileInfo(job.request.file).absoluteFilePath();
            if (const auto [it, added] = targets.emplace(target, port); !added) {
                say(QStringLiteral("torvane-cli: --port %1 and --port %2 would both save to %3")
                        .arg(it->second, port, job.request.file));
                return int(ExitCode::Usage);
            }
            if (const QString why =
                    report ? report->conflictWith(target, "upload file") : QString();
                !why.isEmpty()) {
                say(QStringLiteral("torvane-cli: %1").arg(why));
                std::printf("torvane-cli: %s: file refused (exit 2)\n",
                            qPrintable(modeName(options)));
                return int(ExitCode::FileRefused);
            }
        }
        jobs.push_back(std::move(job));
    }
    for (const QString &note : notes)
        say(note);

    InstallInterruptHandlers();
    Boards boards(run.view, report);
    std::vector<std::optional<BoardOutcome>> outcomes(jobs.size());
    for (size_t i = 0; i < jobs.size(); ++i)
        boards.launch(std::move(jobs[i]), run.view.addRow(options.ports[int(i)]));
    while (boards.running() > 0) {
        for (auto &[row, outcome] : boards.collect(RedrawInterval))
            outcomes[size_t(row)] = std::move(outcome);
        run.view.refresh();
    }
    run.view.close();

    std::vector<BoardOutcome> all;
    int failed = 0;
    // A board cut short by Ctrl-C says so itself; one that had ended keeps its result.
    bool interrupted = false;
    for (auto &outcome : outcomes) {
        failed += outcome->code != ExitCode::Success;
        interrupted = interrupted || outcome->code == ExitCode::Interrupted;
        all.push_back(std::move(*outcome));
    }
    const double wall = std::chrono::duration<double>(Clock::now() - run.start).count();
    std::fputs(SummaryTable(all).toLocal8Bit().constData(), stdout);
    ExitCode code = ExitCode::Success;
    QString last;
    if (interrupted) {
        code = ExitCode::Interrupted;
        last = QStringLiteral("torvane-cli: %1: interrupted (exit 130)").arg(modeName(options));
    } else if (failed) {
        code = ExitCode::SomeDevicesFailed;
        last = QStringLiteral("torvane-cli: %1: %2 of %3 devices succeeded; some devices failed "
                              "(exit 10)")
                   .arg(modeName(options))
                   .arg(int(all.size()) - failed)
                   .arg(all.size());
    } else {
        last = QStringLiteral("torvane-cli: success: %1 on %2 devices, %3 bytes each, in %4 s")
                   .arg(modeName(options))
                   .arg(all.size())
                   .arg(ImageSize(options.mode))
                   .arg(wall, 0, 'f', 3);
    }
    std::fputs(last.toLocal8Bit().append('\n').constData(), stdout);
    std::fflush(stdout);
    return int(code);
}

int watchPorts(const Run &run, const ComPortSource &comPorts, ReportFile *report) {
    struct Slot {
        int row = -1;
        QString device;
        QString last; // what became of the last board here
        bool present = false;
        bool running = false;
    };
    // A board once served is not served again while it stays, under any of its names.
    struct Served {
        QByteArray identity;
        QString name;
    };
    std::map<QString, Slot> watched;      // by the port's name
    std::map<QString, Served> served;     // by device
    std::map<QString, QByteArray> before; // the devices at the last look
    std::set<QString> numberless;         // present ports a COM pattern cannot reach
    const bool comPattern =
        std::any_of(run.options.ports.begin(), run.options.ports.end(), [](const QString &port) {
            return port.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) &&
                   !port.contains(QLatin1Char('/'));
        });
    PortWatch watch(run.options.ports, comPorts);
    InstallInterruptHandlers();
    Boards boards(run.view, report);
    WatchTally tally;
    const auto footer = [&] {
        run.view.setFooter(QStringLiteral("watching: %1 boards done, %2 failed, %3 running; "
                                          "Ctrl-C ends the watch")
                               .arg(tally.done)
                               .arg(tally.failed)
                               .arg(boards.running()));
    };
    const auto take = [&](Clock::duration timeout) {
        for (auto &[row, outcome] : boards.collect(timeout)) {
            for (auto &[name, slot] : watched) {
                if (slot.row == row) {
                    slot.running = false;
                    slot.last = BoardResultText(outcome);
                }
            }
            tally.add(outcome);
        }
    };
    Clock::time_point nextScan = Clock::now();
    footer();
    while (!InterruptRequested()) {
        if (Clock::now() >= nextScan) {
            nextScan = Clock::now() + ScanInterval;
            const std::vector<FoundPort> found = watch.scan();
            // Ten COM numbers, each kept for a port once seen: boards with a USB serial chip
            // of their own use them up, and a board on no number is never served. Said once.
            if (comPattern) {
                for (const ComPortEntry &port : watch.comPorts().unnumbered()) {
                    // A built-in UART past COM 10 was never reachable by number.
                    if (BuiltInUartIndex(port.device) < 0 && numberless.insert(port.device).second)
                        run.view.note(
                            QStringLiteral("torvane-cli: %1 has no COM number (all ten are kept "
                                           "for ports seen before; see %2), so a COM pattern "
                                           "does not reach it: watch it by its device or by-id "
                                           "name")
                                .arg(port.device, UserPortsFile()));
                }
            }
            std::map<QString, QByteArray> now;
            for (const FoundPort &port : found)
                now[port.device] = port.identity;
            for (auto it = served.begin(); it != served.end();) {
                const auto there = now.find(it->first);
                if (there == now.end() || there->second != it->second.identity)
                    it = served.erase(it);
                else
                    ++it;
            }
            for (auto &[name, slot] : watched) {
                const bool stays =
                    std::any_of(found.begin(), found.end(),
                                [&name = name](const FoundPort &p) { return p.name == name; });
                if (slot.present && !stays) {
                    slot.present = false;
                    // Still there under another name: no board was taken off.
                    if (!slot.running && !now.count(slot.device))
                        run.view.event(
                            slot.row,
                            slot.last.isEmpty()
                                ? QStringLiteral("board removed")
                                : QStringLiteral("board removed; it ended: %1").arg(slot.last));
                }
            }
            std::vector<PresentPort> present;
            bool scanned = false;
            for (const FoundPort &port : found) {
                Slot &slot = watched[port.name];
                if (slot.row < 0)
                    slot.row = run.view.addRow(port.name);
                slot.present = true;
                if (slot.running)
                    continue;
                const auto done = served.find(port.device);
                if (done != served.end()) {
                    // The board served under another name: a by-id link that came after its
                    // device node, say.
                    if (slot.device != port.device && done->second.name != port.name)
                        run.view.event(
                            slot.row,
                            QStringLiteral("the board served on %1").arg(done->second.name));
                    slot.device = port.device;
                    continue;
                }
                // The same device under another name is busy while its board is served.
                const bool busy = std::any_of(watched.begin(), watched.end(), [&](const auto &s) {
                    return s.second.running && s.second.device == port.device;
                });
                // A board is served once two looks in a row have seen it: the system may not
                // yet have given its device the permissions or the names it will have.
                const auto seen = before.find(port.device);
                if (busy || seen == before.end() || seen->second != port.identity)
                    continue;
                if (!scanned) {
                    present = ScanPresentPorts();
                    scanned = true;
                }
                BoardJob job = run.job(port.name);
                served[port.device] = {port.identity, port.name};
                slot.device = port.device;
                if (const QString why = report && IsUpload(run.options.mode)
                                            ? report->conflictWith(job.request.file, "upload file")
                                            : QString();
                    !why.isEmpty()) {
                    run.view.error(slot.row,
                                   QStringLiteral("torvane-cli: %1; not served").arg(why));
                    continue;
                }
                job.request.portIndex = port.portIndex;
                job.request.portPath = port.path;
                if (port.path.isEmpty())
                    job.comPorts = watch.comPorts();
                job.identity = IdentifyPort(port.path.isEmpty() ? port.device : port.path, present);
                slot.running = true;
                run.view.event(slot.row, QStringLiteral("board found on %1").arg(port.device));
                boards.launch(std::move(job), slot.row);
            }
            before = std::move(now);
        }
        take(RedrawInterval);
        footer();
        run.view.refresh();
    }
    // Ctrl-C: every running operation ends in order (each sees it at its next poll).
    while (boards.running() > 0) {
        take(RedrawInterval);
        footer();
        run.view.refresh();
    }
    run.view.close();
    std::fputs(WatchTotals(tally).toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    return tally.failed ? int(ExitCode::SomeDevicesFailed) : int(ExitCode::Success);
}

} // namespace

int RunStation(const CliOptions &options, const ComPortSource &comPorts) {
    const Clock::time_point start = Clock::now();
    std::unique_ptr<ReportFile> report;
    if (!options.report.isEmpty()) {
        report = std::make_unique<ReportFile>();
        QString why;
        // No board is touched without its record.
        if (!report->open(options.report, &why) ||
            (!IsUpload(options.mode) &&
             !(why = report->conflictWith(options.file, "download file")).isEmpty())) {
            say(QStringLiteral("torvane-cli: %1").arg(why));
            std::printf("torvane-cli: %s: file refused (exit 2)\n", qPrintable(modeName(options)));
            return int(ExitCode::FileRefused);
        }
    }
    HeldImage image;
    if (!IsUpload(options.mode)) {
        image = HoldImageFile(options.file, options.mode);
        if (!image.held()) {
            if (image.refusal)
                std::printf("%s\n", FileRefusalText(*image.refusal));
            else
                say(QStringLiteral("torvane-cli: %1").arg(image.error));
            std::printf("torvane-cli: %s: file refused (exit 2)\n", qPrintable(modeName(options)));
            return int(ExitCode::FileRefused);
        }
    }
    StationView view(stdout, stderr, CanRedraw(STDERR_FILENO), ::isatty(STDOUT_FILENO) == 1);
    const Run run{options, view, image.bytes, start};
    return options.watch ? watchPorts(run, comPorts, report.get())
                         : runPorts(run, comPorts, report.get());
}
