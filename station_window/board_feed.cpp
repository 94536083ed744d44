#include "station_window/board_feed.h"

#include "ops/progress_text.h"

void BoardFeed::statusLine(const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    status_ = text;
    inPhase_ = false;
    changed_ = true;
    lines_ << text;
}

void BoardFeed::errorLine(const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    lines_ << text;
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
    changed_ = true;
    lines_ << attempt_;
}

BoardFeed::Look BoardFeed::look() {
    const std::lock_guard<std::mutex> lock(mutex_);
    Look look;
    look.changed = changed_;
    changed_ = false;
    look.done = progress_.done;
    look.total = progress_.total;
    look.attempt = attempt_;
    look.status = inPhase_ ? ProgressText(progress_) : status_;
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
