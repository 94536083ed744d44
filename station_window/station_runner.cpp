#include "station_window/station_runner.h"

#include "station_window/board_feed.h"
#include "station_window/board_rows.h"
#include "station_window/watch_thread.h"

#include "station/end_programs.h"

#include <QProcess>

#include <algorithm>

namespace {

using namespace std::chrono_literals;

// How often the rows are brought up to date.
constexpr int TickMs = 100;
constexpr int LaunchedAtOnce = 8;

BoardState stateOf(ExitCode code) {
    switch (EndOf(code)) {
    case BoardEnd::Passed:
        return BoardState::Passed;
    case BoardEnd::Stopped:
        return BoardState::Stopped;
    case BoardEnd::Failed:
        break;
    }
    return BoardState::Failed;
}

// What the row's result says: the verdict of a board that passed; the cause in plain words of one
// that failed (the detail keeps the whole story); "stopped" for one Stop ended.
QString shownResult(const BoardOutcome &outcome, BoardState state) {
    if (state == BoardState::Passed)
        return outcome.record.result;
    if (state == BoardState::Stopped)
        return QLatin1String(StoppedResult);
    // A job of several steps says which step failed.
    if (outcome.steps > 1 && !outcome.record.cause.isEmpty())
        return QStringLiteral("step %1 of %2, %3: %4")
            .arg(outcome.step + 1)
            .arg(outcome.steps)
            .arg(outcome.stepName, outcome.record.cause);
    if (!outcome.record.cause.isEmpty())
        return outcome.record.cause;
    if (!outcome.result.cause.isEmpty())
        return outcome.result.cause;
    if (!outcome.record.detail.isEmpty())
        return outcome.record.detail.section(QLatin1Char('\n'), 0, 0);
    return outcome.record.result;
}

} // namespace

StationRunner::StationRunner(BoardRows &rows, ComPortSource comPorts, QObject *parent)
    : QObject(parent), rows_(rows), comPorts_(std::move(comPorts)) {
    tick_.setInterval(TickMs);
    connect(&tick_, &QTimer::timeout, this, &StationRunner::tick);
    programNotes_.setInterval(TickMs);
    connect(&programNotes_, &QTimer::timeout, this, [this] {
        for (const QString &text : programs_->takeNotes())
            emit note(text);
    });
}

StationRunner::~StationRunner() {
    // Ended some other way than by the window's close (the process ending): every board ends in
    // order, and its thread is waited for while its feed and the run are still there.
    stop_.store(OperatorStop);
    watch_.reset();
    boards_.reset();
}

std::optional<StationRefusal> StationRunner::start(const StationPlan &plan, bool again) {
    if (running())
        return std::nullopt;
    stop_.store(0);
    auto run = std::make_unique<StationRun>(plan, &stop_);
    if (auto refusal = run->open())
        return refusal;
    std::vector<BoardJob> jobs;
    if (!plan.watch) {
        QStringList notes;
        if (auto refusal = run->jobsForPorts(comPorts_, &jobs, &notes))
            return refusal;
        for (const QString &text : notes)
            emit note(text);
    }
    // Every check has passed: only now is a report that is not there made.
    run->publishWith(publisher_);
    if (auto refusal = run->begin())
        return refusal;
    run_ = std::move(run);
    if (run_->publisher())
        publisher_ = run_->publisher();
    again_ = again;
    launched_ = 0;
    if (!again) {
        rows_.clear();
        sha256_.clear();
    }
    // The slots in the order of the ports given, whatever order their boards end in.
    for (const BoardJob &job : jobs)
        rows_.slotFor(job.portName);
    totals_.reset();
    totals_.setLot(run_->lot());
    // A program of the last batch still running is given its time first.
    programs_ = std::make_unique<EndPrograms>(QProcess::splitCommand(plan.onBoardEnd),
                                              QProcess::splitCommand(plan.onBatchEnd));
    programNotes_.start();
    RecordTargets records = run_->records();
    records.programs = programs_.get();
    boards_ = std::make_unique<Boards>(static_cast<StationEvents &>(*this), records, &totals_);
    if (plan.watch)
        watch_ = std::make_unique<WatchThread>(*run_, comPorts_,
                                               [this](const WatchStep &step) { look(step); });
    for (BoardJob &job : jobs)
        waiting_.push_back(std::move(job));
    launchSome();
    tick_.start();
    tick();
    return std::nullopt;
}

// A few boards at a time, the window's events between them: starting a hundred boards' threads
// at once would hold the window up.
void StationRunner::launchSome() {
    for (int k = 0; k < LaunchedAtOnce && !waiting_.empty(); ++k) {
        launch(std::move(waiting_.front()));
        waiting_.pop_front();
    }
    if (!waiting_.empty())
        QTimer::singleShot(0, this, &StationRunner::launchSome);
}

void StationRunner::stop(int why) {
    if (!running())
        return;
    // Every board sees it at its next poll and ends in order; tick() ends the run once all have.
    // Its records say what stopped it: no signal's number for the operator's Stop.
    stop_.store(why);
    // No more looks: a board found now would only be stopped.
    watch_.reset();
    emit progressed();
}

void StationRunner::launch(BoardJob job) {
    devices_[job.portName] =
        job.identity.device.isEmpty() ? job.request.portPath : job.identity.device;
    ++launched_;
    // Its row says at once whether it runs or waits its turn.
    if (const auto it = live_.find(boards_->launch(std::move(job))); it != live_.end())
        show(it->second);
}

ConsoleOutput &StationRunner::started(int board, const QString &port) {
    const int row = rows_.slotFor(port);
    Live &live = live_[board];
    live.row = row;
    live.feed = std::make_shared<BoardFeed>(run_ && run_->plan().trace);
    // A board plugged in anew on a watched port is a new board; Again runs the same one again.
    rows_.start(row, devices_[port], again_);
    return *live.feed;
}

void StationRunner::ended(int, const BoardOutcome &) {
    endedBoards_.fetch_add(1);
    QMetaObject::invokeMethod(
        this, [this] { tick(); }, Qt::QueuedConnection);
}

void StationRunner::tick() {
    if (!boards_)
        return;
    // A board that said it ended has its outcome there within moments.
    const bool due = collectedBoards_ < endedBoards_.load();
    for (auto &[board, outcome] : boards_->collect(due ? 50ms : 0ms)) {
        ++collectedBoards_;
        collectEnd(board, outcome);
    }
    for (auto &[board, live] : live_)
        show(live);
    if (!watch_ && waiting_.empty() && boards_->running() == 0)
        finish();
    else
        emit progressed();
}

void StationRunner::show(Live &live) {
    const BoardFeed::Look seen = live.feed->look();
    if (seen.changed) {
        rows_.setProgress(live.row, seen.status, seen.done, seen.total);
        rows_.setAttempt(live.row, seen.attempt);
        rows_.setTurn(live.row, seen.waiting, seen.held);
    }
    live.waiting = seen.waiting;
    rows_.setSeconds(live.row, seen.seconds);
}

// One look of a watch, as the command line's watch does it.
void StationRunner::look(const WatchStep &step) {
    if (!watch_)
        return;
    for (const QString &text : step.notes)
        emit note(text);
    for (const QString &name : step.seen.appeared)
        rows_.slotFor(name);
    for (const auto &[name, last] : step.seen.removed)
        rows_.removed(rows_.slotFor(name), last);
    for (const auto &[name, first] : step.seen.servedAs)
        rows_.setStatus(rows_.slotFor(name), QStringLiteral("the board served on %1").arg(first));
    for (const auto &[port, job] : step.jobs)
        launch(job);
    emit progressed();
}

void StationRunner::collectEnd(int board, const BoardOutcome &outcome) {
    const auto it = live_.find(board);
    const int row = it->second.row;
    // Its last words first: the feed is let go with its thread.
    const std::shared_ptr<BoardFeed> feed = it->second.feed;
    live_.erase(it);
    const BoardRecord &record = outcome.record;
    const BoardState state = stateOf(outcome.code);
    QString detail = feed->detail();
    if (!record.detail.isEmpty() && !detail.contains(record.detail))
        detail += QLatin1Char('\n') + record.detail;
    const BoardFeed::Look last = feed->look();
    rows_.setProgress(row, last.status, last.done, last.total);
    rows_.end(row, state, record.device, shownResult(outcome, state), detail, record.seconds);
    // How it ended, as its record says it, rather than a progress that goes no further (a board
    // lost in the middle of its data); one stopped, where it was.
    if (state == BoardState::Stopped && !last.status.isEmpty())
        rows_.setStatus(row, QStringLiteral("stopped during %1").arg(last.status.simplified()));
    else if (!record.result.isEmpty())
        rows_.setStatus(row, record.result);
    if (!record.sha256.isEmpty() && (sha256_.isEmpty() || AnyUpload(run_->plan().steps)))
        sha256_ = QString::fromLatin1(record.sha256);
    if (watch_)
        watch_->ended(rows_.port(row), record.result);
    emit boardEnded(row, state);
}

void StationRunner::finish() {
    tick_.stop();
    boards_.reset();
    programs_->batchEnded(totals_.counts(), run_->plan().lot);
    // The lot goes with the run: counted into no more.
    totals_.setLot(nullptr);
    watch_.reset();
    run_.reset();
    live_.clear();
    stop_.store(0);
    emit finished();
}

int StationRunner::boardsWaiting() const {
    return int(std::count_if(live_.begin(), live_.end(),
                             [](const auto &board) { return board.second.waiting; }));
}

int StationRunner::boardsRunning() const {
    return int(live_.size()) - boardsWaiting();
}

QString StationRunner::detail(int row) const {
    for (const auto &[board, live] : live_) {
        if (live.row == row)
            return live.feed->detail();
    }
    return rows_.detail(row);
}
