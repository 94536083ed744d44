#include "station/boards.h"

#include "plant/publisher.h"
#include "plant/record_sequence.h"
#include "station/board_attempts.h"
#include "station/console_output.h"
#include "station/end_programs.h"
#include "station/report_file.h"
#include "station/station_totals.h"

#include <QDateTime>
#include <QSysInfo>
#include <QThread>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <QDir>

#include <fcntl.h>
#include <sys/resource.h>
#endif

namespace {

// What a board holds while it runs: its thread's wakeup (the event dispatcher's eventfd), the
// port and its lock file, and for a moment the lock being written; an upload adds the saved file
// and its folder.
constexpr int DownloadDescriptors = 4;
constexpr int UploadDescriptors = 6;
// Left for the station itself: the watch's looks, the toolkit's own needs.
constexpr int ReserveDescriptors = 16;

// How many descriptors the boards may take, or -1 for no limit. A thread whose event dispatcher
// finds none aborts the whole process, so boards past this wait their turn instead.
int descriptorBudget() {
#ifdef Q_OS_UNIX
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > rlim_t(1) << 30)
        return -1;
    const int most = int(limit.rlim_cur);
    // Those open now: the standard streams, the report, the download file, the toolkit's own.
    int open = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    if (fds.exists()) {
        open = int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
    } else {
        for (int fd = 0; fd < std::min(most, 65536); ++fd)
            open += ::fcntl(fd, F_GETFD) != -1;
    }
    return std::max(0, most - open - ReserveDescriptors);
#else
    return -1;
#endif
}

int descriptorLimit() {
#ifdef Q_OS_UNIX
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? int(limit.rlim_cur) : 0;
#else
    return 0;
#endif
}

} // namespace

Boards::Boards(StationEvents &events, RecordTargets records, StationTotals *totals)
    : events_(events), records_(std::move(records)), totals_(totals),
      descriptors_(descriptorBudget()) {}

Boards::~Boards() {
    for (Worker &worker : workers_) {
        if (worker.thread)
            worker.thread->wait();
    }
}

int Boards::launch(BoardJob job) {
    std::unique_lock<std::mutex> lock(mutex_);
    workers_.emplace_back();
    Worker &worker = workers_.back();
    worker.board = launched_++;
    worker.output = &events_.started(worker.board, job.portName);
    if (records_.publisher)
        records_.publisher->boardBegan();
    const bool saves = std::any_of(job.steps.begin(), job.steps.end(), [](const BoardStep &step) {
        return step.step.command == StepCommand::Upload;
    });
    worker.descriptors = saves ? UploadDescriptors : DownloadDescriptors;
    const bool first = std::none_of(workers_.begin(), workers_.end(),
                                    [](const Worker &other) { return other.waiting.has_value(); });
    if (first && hasRoomFor(worker)) {
        start(worker, std::move(job), lock);
        return worker.board;
    }
    // Behind a board that waits, for the same reason it does.
    if (threads_ >= MostBoardsAtOnce)
        worker.output->waiting(
            QStringLiteral("waiting its turn: %1 boards run at once").arg(MostBoardsAtOnce));
    else
        worker.output->waiting(QStringLiteral("waiting its turn: the limit of %1 open files "
                                              "(ulimit -n) runs no more boards at once")
                                   .arg(descriptorLimit()));
    worker.waiting = std::move(job);
    return worker.board;
}

bool Boards::hasRoomFor(const Worker &worker) const {
    if (threads_ >= MostBoardsAtOnce)
        return false;
    if (descriptors_ < 0)
        return true;
    int taken = 0;
    for (const Worker &other : workers_)
        taken += other.thread ? other.descriptors : 0;
    // A board alone is always tried: its own opening says so if the limit leaves it no room.
    return taken == 0 || taken + worker.descriptors <= descriptors_;
}

void Boards::start(Worker &worker, BoardJob job, std::unique_lock<std::mutex> &lock) {
    ConsoleOutput &output = *worker.output;
    // Its record, should it end before its thread runs.
    BoardRecord record = JobRecord(job);
    ++threads_;
    output.begun();
    // A board whose turn comes after Stop is not begun.
    if (StopRequested(job.stop)) {
        lock.unlock();
        notServed(worker, output, std::move(record), QStringLiteral("stopped before its turn came"),
                  ExitCode::Interrupted);
        return;
    }
    if (!job.refused.isEmpty()) {
        lock.unlock();
        notServed(worker, output, std::move(record), job.refused, ExitCode::FileRefused);
        return;
    }
    // A QThread, not a bare thread: the serial port of a portable build wants the event
    // dispatcher that only a QThread has (its notifiers, and Windows' overlapped I/O).
    worker.thread.reset(QThread::create(
        [this, &worker, &output, job = std::move(job)] { run(worker, output, job); }));
    worker.thread->start();
    if (!worker.thread->isRunning() && !worker.thread->isFinished()) {
        // The system gives no more threads: this board is not served, the others go on.
        worker.thread.reset();
        lock.unlock();
        notServed(worker, output, std::move(record), QStringLiteral("cannot start a thread"));
    }
}

void Boards::startWaiting(std::unique_lock<std::mutex> &lock) {
    for (auto it = workers_.begin(); it != workers_.end(); ++it) {
        if (!it->waiting)
            continue;
        // In their order: the first that has no room yet holds those after it.
        if (!hasRoomFor(*it))
            break;
        BoardJob job = std::move(*it->waiting);
        it->waiting.reset();
        start(*it, std::move(job), lock);
        if (!lock.owns_lock())
            lock.lock();
    }
}

void Boards::notServed(Worker &worker, ConsoleOutput &output, BoardRecord board, const QString &why,
                       ExitCode code) {
    BoardOutcome outcome;
    outcome.result.ending = Ending::Error;
    outcome.code = code;
    BoardRecord &record = outcome.record;
    record = std::move(board);
    record.end = record.start;
    record.exitCode = int(outcome.code);
    record.result = ResultText(outcome.code, outcome.result);
    record.cause = record.detail = why;
    output.errorBox(record.detail);
    writeRecord(outcome, output);
    count(outcome, output);
    ended(worker.board, outcome);
    const std::lock_guard<std::mutex> lock(mutex_);
    worker.outcome = std::move(outcome);
    done_.notify_all();
}

void Boards::ended(int board, const BoardOutcome &outcome) {
    events_.ended(board, outcome);
    if (records_.publisher)
        records_.publisher->boardEnded();
    if (records_.programs)
        records_.programs->boardEnded(outcome);
}

int Boards::running() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return int(workers_.size());
}

std::vector<std::pair<int, BoardOutcome>>
Boards::collect(std::chrono::steady_clock::duration timeout) {
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
        --threads_;
        outcomes.emplace_back(it->board, std::move(*it->outcome));
        it = workers_.erase(it);
    }
    startWaiting(lock);
    return outcomes;
}

void Boards::stamp(BoardRecord &record, ConsoleOutput &output) {
    record.stamp = NewStamp(records_.station);
    if (!records_.sequence)
        return;
    qint64 number = 0;
    QString why;
    if (records_.sequence->next(&number, &why))
        record.stamp.seq = number;
    else
        output.errorLine(QStringLiteral("%1; the record goes without its number").arg(why));
}

void Boards::notKept(BoardOutcome &outcome, const QString &why) {
    if (outcome.code == ExitCode::Success)
        outcome.code = ExitCode::FileNotSaved;
    outcome.record.exitCode = int(outcome.code);
    // A board that failed keeps its own cause first.
    if (outcome.record.cause.isEmpty())
        outcome.record.cause = why;
    outcome.record.detail =
        outcome.record.detail.isEmpty() ? why : outcome.record.detail + QStringLiteral("; ") + why;
}

void Boards::writeRecord(BoardOutcome &outcome, ConsoleOutput &output) {
    // A board that succeeded is done all the same: said plainly, so that nobody programs it
    // again, or takes it for one that failed.
    const auto doneBut = [&](const QString &what) {
        if (outcome.code != ExitCode::Success)
            return what;
        return QStringLiteral("%1, but %2")
            .arg(outcome.record.operation == QLatin1String("upload")
                     ? QStringLiteral("the board's image was saved")
                     : QStringLiteral("the board was programmed"),
                 what);
    };
    stamp(outcome.record, output);
    QString why;
    const bool reported =
        records_.report && records_.report->append(RecordLine(outcome.record), &why);
    if (records_.report && !reported) {
        why = doneBut(QStringLiteral("its record could not be written: %1").arg(why));
        output.errorLine(why);
        notKept(outcome, why);
    }
    // Then into the outbox, on the disk, for the plant's broker.
    QString refused;
    if (!records_.publisher || records_.publisher->add(RecordObject(outcome.record), &refused))
        return;
    if (reported) {
        output.errorLine(
            QStringLiteral("%1: the record is not published; the report keeps it").arg(refused));
        return;
    }
    // Kept nowhere: the board's run fails as it does for a report that refuses its record.
    why = doneBut(QStringLiteral("its record is lost: %1, and %2")
                      .arg(refused, records_.report ? QStringLiteral("the report did not take it")
                                                    : QStringLiteral("no report keeps it")));
    output.errorLine(why);
    notKept(outcome, why);
}

void Boards::count(const BoardOutcome &outcome, ConsoleOutput &output) {
    if (!totals_)
        return;
    if (const QString why = totals_->add(outcome); !why.isEmpty())
        output.errorLine(why);
}

void Boards::run(Worker &worker, ConsoleOutput &output, const BoardJob &job) {
    BoardOutcome outcome =
        RunAttempts(job, output, [&](BoardOutcome &ended) { writeRecord(ended, output); });
    count(outcome, output);
    ended(worker.board, outcome);
    const std::lock_guard<std::mutex> lock(mutex_);
    worker.outcome = std::move(outcome);
    done_.notify_all();
}
