#include "station/boards.h"

#include "station/console_output.h"
#include "station/report_file.h"

#include <QDateTime>
#include <QSysInfo>
#include <QThread>

#include <algorithm>

Boards::Boards(StationEvents &events, ReportFile *report) : events_(events), report_(report) {}

Boards::~Boards() {
    for (Worker &worker : workers_) {
        if (worker.thread)
            worker.thread->wait();
    }
}

int Boards::launch(BoardJob job) {
    const std::lock_guard<std::mutex> lock(mutex_);
    workers_.emplace_back();
    Worker &worker = workers_.back();
    worker.board = launched_++;
    ConsoleOutput &output = events_.started(worker.board, job.portName);
    const TransferMode mode = job.request.mode;
    const QString port = job.portName;
    // A QThread, not a bare thread: the serial port of a portable build wants the event
    // dispatcher that only a QThread has (its notifiers, and Windows' overlapped I/O).
    worker.thread.reset(QThread::create(
        [this, &worker, &output, job = std::move(job)] { run(worker, output, job); }));
    worker.thread->start();
    if (!worker.thread->isRunning() && !worker.thread->isFinished()) {
        // The system gives no more threads: this board is not served, the others go on.
        worker.thread.reset();
        BoardOutcome outcome;
        outcome.result.ending = Ending::Error;
        outcome.code = ExitCode::PortUnavailable;
        BoardRecord &record = outcome.record;
        record.start = record.end = QDateTime::currentDateTimeUtc();
        record.host = QSysInfo::machineHostName();
        record.port = port;
        record.operation = IsUpload(mode) ? QStringLiteral("upload") : QStringLiteral("download");
        record.exitCode = int(outcome.code);
        record.result = QLatin1String(ExitCodeMeaning(outcome.code));
        record.detail = QStringLiteral("cannot start a thread");
        output.errorLine(QStringLiteral("torvane-cli: error: %1").arg(record.detail));
        writeRecord(outcome, output);
        events_.ended(worker.board, outcome);
        worker.outcome = std::move(outcome);
    }
    return worker.board;
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
        outcomes.emplace_back(it->board, std::move(*it->outcome));
        it = workers_.erase(it);
    }
    return outcomes;
}

void Boards::writeRecord(BoardOutcome &outcome, ConsoleOutput &output) {
    if (!report_)
        return;
    QString why;
    if (report_->append(RecordLine(outcome.record), &why))
        return;
    output.errorLine(QStringLiteral("torvane-cli: %1").arg(why));
    if (outcome.code == ExitCode::Success)
        outcome.code = ExitCode::FileNotSaved;
    outcome.record.exitCode = int(outcome.code);
    outcome.record.detail = why;
}

void Boards::run(Worker &worker, ConsoleOutput &output, const BoardJob &job) {
    BoardOutcome outcome =
        RunBoard(job, output, [&](BoardOutcome &ended) { writeRecord(ended, output); });
    events_.ended(worker.board, outcome);
    const std::lock_guard<std::mutex> lock(mutex_);
    worker.outcome = std::move(outcome);
    done_.notify_all();
}
