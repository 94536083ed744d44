#include "station/progress_display.h"

#include "link/checksum.h"
#include "ops/progress_text.h"
#include "station/console_output.h"

#include <cmath>

namespace {
constexpr auto RedrawInterval = std::chrono::milliseconds(100);
} // namespace

ProgressDisplay::ProgressDisplay(ConsoleOutput &output) : output_(output) {}

QString StepProgressText(const QString &label, const BlockProgress &progress) {
    return QStringLiteral("%1%2 %3%")
        .arg(label,
             progress.phase == Phase::ChecksumTable ? QStringLiteral(", checksums") : QString())
        .arg(progress.percent);
}

void ProgressDisplay::start(Phase phase, int totalBlocks) {
    settle();
    text_ = label_.isEmpty() ? ProgressText(phase, 0)
                             : StepProgressText(label_, {phase, 0, totalBlocks, 0, 0});
    active_ = true;
    done_ = 0;
    total_ = totalBlocks;
    started_ = Clock::now();
    lastDrawn_ = Clock::time_point();
}

void ProgressDisplay::step(const BlockProgress &progress) {
    if (!active_)
        return;
    text_ = label_.isEmpty() ? ProgressText(progress) : StepProgressText(label_, progress);
    done_ = progress.done;
    const Clock::time_point now = Clock::now();
    if (done_ >= total_) {
        output_.finishProgress(line(now, State::Finished));
        active_ = false;
        return;
    }
    if (output_.live() && now - lastDrawn_ >= RedrawInterval)
        draw(now);
}

void ProgressDisplay::settle() {
    if (!active_)
        return;
    active_ = false;
    output_.finishProgress(line(Clock::now(), State::Stopped));
}

void ProgressDisplay::draw(Clock::time_point now) {
    lastDrawn_ = now;
    output_.drawProgress(line(now, State::Running));
}

QString ProgressDisplay::line(Clock::time_point now, State state) const {
    const double elapsed = std::chrono::duration<double>(now - started_).count();
    const double rate = elapsed > 0 ? double(done_) * BlockSize / elapsed : 0;
    QString text = QStringLiteral("%1  %2/%3 blocks  %4")
                       .arg(text_)
                       .arg(done_, QString::number(total_).size())
                       .arg(total_)
                       .arg(FormatRate(rate));
    if (state == State::Finished)
        return text + QStringLiteral("  in %1 s").arg(elapsed, 0, 'f', 2);
    if (state == State::Stopped)
        return text + QStringLiteral("  stopped after %1 s").arg(elapsed, 0, 'f', 2);
    const double left = rate > 0 ? double(total_ - done_) * BlockSize / rate : 0;
    return text + QStringLiteral("  %1 left").arg(FormatDuration(left));
}

QString FormatRate(double bytesPerSecond) {
    if (bytesPerSecond >= 1e6)
        return QStringLiteral("%1 MB/s").arg(bytesPerSecond / 1e6, 0, 'f', 2);
    if (bytesPerSecond >= 1e3)
        return QStringLiteral("%1 kB/s").arg(bytesPerSecond / 1e3, 0, 'f', 1);
    return QStringLiteral("%1 B/s").arg(bytesPerSecond, 0, 'f', 0);
}

QString FormatDuration(double seconds) {
    const long total = std::lround(seconds);
    return QStringLiteral("%1:%2").arg(total / 60).arg(total % 60, 2, 10, QLatin1Char('0'));
}
