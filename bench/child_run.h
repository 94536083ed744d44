#pragma once

#include "ops/status_text.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <sys/types.h>
#include <vector>

// One program run by the benchmark: its output lines as they arrive, each with the time it was
// read, and at the end its exit code, wall time, CPU time and peak resident memory (from wait4,
// so the figures are the child's own).
class ChildRun {
public:
    using Clock = std::chrono::steady_clock;

    struct Line {
        double seconds; // since start()
        QByteArray text;
    };
    struct Result {
        int exitCode = -1; // 128 + n when ended by signal n
        double wallSeconds = 0;
        double cpuSeconds = 0;
        long peakRssKb = 0;
    };

    ChildRun() = default;
    ~ChildRun();
    ChildRun(const ChildRun &) = delete;
    ChildRun &operator=(const ChildRun &) = delete;

    // Starts the program; with `capture` its stdout comes back as lines, else it goes nowhere.
    // stderr goes to `errorFile` when given, else it is the benchmark's own, so that a failing
    // run explains itself.
    bool start(const QString &program, const QStringList &arguments, bool capture = true,
               const QString &errorFile = QString());
    // The next line not yet read, or nothing when none came within `timeout` or the output
    // ended.
    std::optional<Line> readLine(std::chrono::milliseconds timeout);
    // Reads the rest of the output and waits for the end.
    Result wait(std::chrono::milliseconds timeout = std::chrono::minutes(10));
    void signal(int signal);

    const std::vector<Line> &lines() const { return lines_; }
    // When the first line showing the status `code` arrived; negative when none did.
    double timeOf(StatusCode code) const;
    pid_t pid() const { return pid_; }

private:
    bool fill(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int out_ = -1;
    Clock::time_point started_;
    QByteArray buffer_;
    std::vector<Line> lines_;
    size_t nextLine_ = 0; // the first line readLine has not handed out
    bool ended_ = false;
};
