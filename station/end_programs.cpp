#include "station/end_programs.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <csignal>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// What a program may write before the rest of its output is only counted.
constexpr qsizetype MostOutput = 64 * 1024;

// The station's environment, less what is the station's alone: the broker's password, and the
// service manager's sockets, which answer the station's main process only.
QProcessEnvironment programEnvironment(const QString &result) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"TORVANE_PUBLISH_PASSWORD", "NOTIFY_SOCKET", "WATCHDOG_USEC",
                             "WATCHDOG_PID", "LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("TORVANE_RESULT"), result);
    return env;
}

QString batchWord(const BoardCounts &counts) {
    if (counts.failed > 0)
        return QStringLiteral("fail");
    return counts.stopped > 0 ? QStringLiteral("stopped") : QStringLiteral("pass");
}

} // namespace

QString EndResultWord(ExitCode code) {
    switch (code) {
    case ExitCode::Success:
        return QStringLiteral("pass");
    case ExitCode::Interrupted:
        return QStringLiteral("stopped");
    case ExitCode::FileRefused:
        return QStringLiteral("refused");
    default:
        return QStringLiteral("fail");
    }
}

EndPrograms::EndPrograms(QStringList onBoardEnd, QStringList onBatchEnd)
    : onBoardEnd_(std::move(onBoardEnd)), onBatchEnd_(std::move(onBatchEnd)) {
    if (onBoardEnd_.isEmpty() && onBatchEnd_.isEmpty())
        return;
    thread_.reset(QThread::create([this] { serve(); }));
    thread_->start();
}

EndPrograms::~EndPrograms() {
    if (!thread_)
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_->wait();
}

void EndPrograms::enqueue(Run run) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_ || stopping_)
            return;
        if (int(waiting_.size()) < MostEndProgramsWaiting) {
            waiting_.push_back(std::move(run));
            changed_.notify_all();
            return;
        }
    }
    note(QStringLiteral("%1 for %2 is not run: %3 programs wait already")
             .arg(run.command->constFirst(), run.what)
             .arg(MostEndProgramsWaiting));
}

void EndPrograms::boardEnded(const BoardOutcome &outcome) {
    if (onBoardEnd_.isEmpty())
        return;
    enqueue({&onBoardEnd_, RecordLine(outcome.record), EndResultWord(outcome.code),
             outcome.record.port});
}

void EndPrograms::batchEnded(const BoardCounts &counts, const QString &lot) {
    if (onBatchEnd_.isEmpty())
        return;
    QJsonObject totals{{QStringLiteral("boards"), counts.served()},
                       {QStringLiteral("passed"), counts.passed},
                       {QStringLiteral("failed"), counts.failed},
                       {QStringLiteral("stopped"), counts.stopped},
                       {QStringLiteral("end"),
                        QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}};
    if (!lot.isEmpty())
        totals.insert(QStringLiteral("lot"), lot);
    enqueue({&onBatchEnd_, QJsonDocument(totals).toJson(QJsonDocument::Compact) + '\n',
             batchWord(counts), QStringLiteral("the batch")});
}

void EndPrograms::finish(Clock::duration patience) {
    if (!thread_)
        return;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, patience, [this] { return waiting_.empty() && !running_; });
    const std::deque<Run> left = std::move(waiting_);
    waiting_.clear();
    // The one running has its own time; it ends before the station does.
    changed_.wait(lock, [this] { return !running_; });
    lock.unlock();
    for (const Run &run : left)
        note(QStringLiteral("%1 for %2 is not run: the station ends").arg(run.command->constFirst(),
                                                                          run.what));
}

QStringList EndPrograms::takeNotes() {
    const std::lock_guard<std::mutex> lock(mutex_);
    QStringList notes;
    notes.swap(notes_);
    return notes;
}

void EndPrograms::note(const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    notes_ << text;
}

void EndPrograms::serve() {
    for (;;) {
        Run run;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_)
                return;
            run = std::move(waiting_.front());
            waiting_.pop_front();
            running_ = true;
        }
        runOne(run);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            running_ = false;
        }
        changed_.notify_all();
    }
}

void EndPrograms::runOne(const Run &run) {
    const QString name = run.command->constFirst();
    const QString whose = QStringLiteral("%1 for %2").arg(name, run.what);
    QProcess process;
    process.setProcessEnvironment(programEnvironment(run.result));
    // Its output, both streams, goes to the station's stderr, line by line as notes.
    process.setProcessChannelMode(QProcess::MergedChannels);
    // A group of its own: what it starts ends with it when its time runs out.
    process.setChildProcessModifier([] { ::setsid(); });
    process.start(name, run.command->mid(1));
    if (!process.waitForStarted(int(std::chrono::milliseconds(EndProgramTime).count()))) {
        note(QStringLiteral("%1 could not be run: %2").arg(whose, process.errorString()));
        return;
    }
    process.write(run.input);
    process.closeWriteChannel();
    const Clock::time_point until = Clock::now() + EndProgramTime;
    QByteArray pending;
    qsizetype written = 0;
    qsizetype dropped = 0;
    const auto take = [&](bool last) {
        pending += process.readAll();
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0 || (last && !pending.isEmpty());) {
            const QByteArray line = end >= 0 ? pending.left(end) : pending;
            pending.remove(0, end >= 0 ? end + 1 : pending.size());
            if (written + line.size() > MostOutput) {
                dropped += line.size() + 1;
                continue;
            }
            written += line.size() + 1;
            note(QStringLiteral("%1: %2").arg(name, QString::fromLocal8Bit(line)));
        }
    };
    bool timedOut = false;
    while (!process.waitForFinished(100)) {
        take(false);
        if (process.state() == QProcess::NotRunning)
            break;
        if (Clock::now() >= until) {
            timedOut = true;
            const auto group = pid_t(process.processId());
            ::kill(-group, SIGTERM);
            if (!process.waitForFinished(1000)) {
                ::kill(-group, SIGKILL);
                process.waitForFinished(1000);
            }
            break;
        }
    }
    take(true);
    if (dropped > 0)
        note(QStringLiteral("%1: %2 bytes more of its output not shown").arg(name).arg(dropped));
    if (timedOut)
        note(QStringLiteral("%1 was ended: it ran longer than %2 s")
                 .arg(whose)
                 .arg(std::chrono::seconds(EndProgramTime).count()));
    else if (process.exitStatus() != QProcess::NormalExit)
        note(QStringLiteral("%1 ended abnormally: %2").arg(whose, process.errorString()));
    else if (process.exitCode() != 0)
        note(QStringLiteral("%1 failed (exit %2)").arg(whose).arg(process.exitCode()));
}
