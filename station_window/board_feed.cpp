#include "station_window/board_feed.h"

#include "ops/progress_text.h"
#include "station/progress_display.h"

void BoardFeed::statusLine(const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    status_ = text;
    inPhase_ = false;
    waiting_ = false;
    // The operation's first status ("Connectting...") comes once its port is open.
    held_ = true;
    changed_ = true;
    lines_ << text;
}

void BoardFeed::errorLine(const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    lines_ << text;
    // Said while its port opens (another program holds it, a stale lock was removed): the row
    // says it until the operation's first status.
    if (begun_ && !held_ && !inPhase_) {
        status_ = text;
        waiting_ = false;
        changed_ = true;
    }
}

void BoardFeed::waiting(const QString &why) {
    const std::lock_guard<std::mutex> lock(mutex_);
    lines_ << why;
    status_ = why;
    inPhase_ = false;
    waiting_ = true;
    changed_ = true;
}

void BoardFeed::begun() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!begun_)
        since_.start();
    begun_ = true;
    if (waiting_)
        status_.clear();
    waiting_ = false;
    changed_ = true;
}

void BoardFeed::traceLine(const QByteArray &text) {
    if (!trace_)
        return;
    const std::lock_guard<std::mutex> lock(mutex_);
    traceLines_ << text;
    if (traceLines_.size() > TraceKept) {
        traceLines_.removeFirst();
        ++traceDropped_;
    }
}

void BoardFeed::finishProgress(const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    lines_ << text;
}

void BoardFeed::blockProgress(const BlockProgress &progress) {
    const std::lock_guard<std::mutex> lock(mutex_);
    progress_ = progress;
    inPhase_ = true;
    changed_ = true;
}

void BoardFeed::attemptStarted(int attempt, int attempts) {
    const std::lock_guard<std::mutex> lock(mutex_);
    attempt_ = QStringLiteral("attempt %1 of %2").arg(attempt).arg(attempts);
    // The last attempt let its port go; this one opens it again.
    held_ = false;
    changed_ = true;
    lines_ << attempt_;
}

void BoardFeed::stepStarted(const QString &label) {
    const std::lock_guard<std::mutex> lock(mutex_);
    step_ = label;
    status_.clear();
    inPhase_ = false;
    changed_ = true;
    lines_ << label;
}

BoardFeed::Look BoardFeed::look() {
    const std::lock_guard<std::mutex> lock(mutex_);
    Look look;
    look.changed = changed_;
    changed_ = false;
    look.done = progress_.done;
    look.total = progress_.total;
    look.attempt = attempt_;
    if (step_.isEmpty())
        look.status = inPhase_ ? ProgressText(progress_) : status_;
    else if (inPhase_)
        look.status = StepProgressText(step_, progress_);
    else
        look.status = status_.isEmpty() ? step_ : QStringLiteral("%1: %2").arg(step_, status_);
    look.waiting = !begun_ || waiting_;
    look.held = held_;
    look.seconds = begun_ ? double(since_.elapsed()) / 1000 : -1;
    return look;
}

QString BoardFeed::detail() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    QString text = lines_.join(QLatin1Char('\n'));
    if (trace_) {
        text += QStringLiteral("\n\nTrace");
        if (traceDropped_)
            text += QStringLiteral(" (its last %1 lines)").arg(traceLines_.size());
        text += QStringLiteral(":\n");
        for (const QByteArray &line : traceLines_)
            text += QString::fromLocal8Bit(line).trimmed() + QLatin1Char('\n');
    }
    return text;
}
