#pragma once

#include <QString>

#include <chrono>

class TerminalOutput;

// The data phases' progress: the phase's own percentage text, blocks done of total, bytes per
// second and time left. Redrawn at most ten times a second; each finished phase stays as a line.
class ProgressDisplay {
public:
    using Clock = std::chrono::steady_clock;

    ProgressDisplay(TerminalOutput &output, int mode);

    // A phase's percentage text ("Transfering Data:  42%"); a new label starts a new phase.
    void showText(const QString &text);
    // One block done.
    void step();
    // A phase that ends before its last block leaves its last progress as a line.
    void settle();
    // A phase boundary (the progress bar set back to 0, the transfer starting): the phase, if
    // any, is over, and the next one is timed from here.
    void reset();

private:
    void draw(Clock::time_point now);
    enum class State { Running, Finished, Stopped };
    QString line(Clock::time_point now, State state) const;
    int totalBlocks(const QString &label) const;

    TerminalOutput &output_;
    int mode_;
    QString text_;
    QString label_;
    bool active_ = false;
    int done_ = 0;
    int total_ = 0;
    Clock::time_point boundary_ = Clock::now();
    Clock::time_point started_;
    Clock::time_point lastDrawn_;
};

// 1234567 bytes per second as "1.23 MB/s"; seconds as "m:ss".
QString FormatRate(double bytesPerSecond);
QString FormatDuration(double seconds);
