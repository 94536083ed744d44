#include "cli/progress_display.h"

#include "cli/terminal_output.h"
#include "link/checksum_table.h"
#include "link/transfer_mode.h"

#include <cmath>

namespace {
constexpr auto RedrawInterval = std::chrono::milliseconds(100);
} // namespace

ProgressDisplay::ProgressDisplay(TerminalOutput &output, int mode) : output_(output), mode_(mode) {}

int ProgressDisplay::totalBlocks(const QString &label) const {
    const int dataBlocks = ImageSize(mode_) / BlockSize;
    const int crcBlocks = ChecksumBlocks(dataBlocks);
    if (label == QLatin1String("Transfering Data"))
        return dataBlocks;
    if (label == QLatin1String("Transfering CRC"))
        return crcBlocks;
    // An upload receives the data blocks and then the device's checksum blocks.
    return dataBlocks + crcBlocks;
}

void ProgressDisplay::showText(const QString &text) {
    text_ = text;
    // Called once per block: the same phase is recognised without building a new string.
    if (active_ && text.size() > label_.size() && text.at(label_.size()) == QLatin1Char(':') &&
        text.startsWith(label_))
        return;
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    label_ = colon < 0 ? text : text.left(colon);
    active_ = true;
    done_ = 0;
    total_ = totalBlocks(label_);
    // A phase's first text comes after its first block: its clock started at the boundary.
    started_ = boundary_;
    lastDrawn_ = Clock::time_point();
}

void ProgressDisplay::step() {
    if (!active_)
        return;
    ++done_;
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

void ProgressDisplay::reset() {
    active_ = false;
    boundary_ = Clock::now();
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
