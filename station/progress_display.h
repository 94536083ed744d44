#pragma once

#include "ops/progress_sink.h"

#include <QString>

#include <chrono>

class ConsoleOutput;

// The data phases' progress: the phase's own percentage text, blocks done of total, bytes per
// second and time left. Redrawn at most ten times a second; each finished phase stays as a line.
class ProgressDisplay {
public:
    using Clock = std::chrono::steady_clock;

    explicit ProgressDisplay(ConsoleOutput &output);

    // In a job of several steps, the step's label leads the text ("step 3 of 3: Verify Software
    // 45%"); empty, the phase's own text does.
    void setLabel(const QString &label) { label_ = label; }
    void start(Phase phase, int totalBlocks);
    // One block done.
    void step(const BlockProgress &progress);
    // A phase that ends before its last block leaves its last progress as a line.
    void settle();
    bool active() const { return active_; }

private:
    void draw(Clock::time_point now);
    enum class State { Running, Finished, Stopped };
    QString line(Clock::time_point now, State state) const;

    ConsoleOutput &output_;
    QString label_;
    QString text_;
    bool active_ = false;
    int done_ = 0;
    int total_ = 0;
    Clock::time_point started_;
    Clock::time_point lastDrawn_;
};

// A phase's progress in a step of a job: "step 3 of 3: Verify Software 45%", and for a
// download's checksum table "step 1 of 3: Download Loader, checksums 45%".
QString StepProgressText(const QString &label, const BlockProgress &progress);

// 1234567 bytes per second as "1.23 MB/s"; seconds as "m:ss".
QString FormatRate(double bytesPerSecond);
QString FormatDuration(double seconds);
