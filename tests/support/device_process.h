#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>

// A machine loaded by other work keeps the emulator from answering for up to a second or two
// (measured: a block's RRSS 0.4 to 2.0 s after the block, at a load average of 20 to 50). A test
// whose point is not the time an answer takes gives it that long through the poll pause alone:
// the counts stay, and a poll still ends as soon as the bytes are there.
inline constexpr std::chrono::milliseconds PatientPollPause{10};

// The real torvane-device, started as a child process for a test: it owns the pseudo-terminal the
// tool under test opens. Its standard error goes to a file, so a tracing device never blocks on a
// full pipe while the test is busy; the destructor stops it.
class DeviceProcess {
public:
    // Starts the device with `arguments` and waits for the paths on the first `devices` lines of
    // its output (one a device, as with --count).
    explicit DeviceProcess(const QStringList &arguments = {}, int startTimeoutMs = 5000,
                           int devices = 1);
    ~DeviceProcess();
    DeviceProcess(const DeviceProcess &) = delete;
    DeviceProcess &operator=(const DeviceProcess &) = delete;

    // The built program.
    static QString programPath();

    // Empty when the device did not start; errorString() then says why.
    QString slavePath() const { return slavePaths_.value(0); }
    QStringList slavePaths() const { return slavePaths_; }
    QString errorString() const { return error_; }
    bool isRunning() const { return process_.state() != QProcess::NotRunning; }
    // Everything the device wrote to standard error so far.
    QString stderrText() const;

    // Waits for the device to end by itself (--once, hangup-after); false on time-out.
    bool waitForFinished(int timeoutMs = 10000);
    // SIGTERM, then waits; the exit code, or -1 when it crashed or had to be killed.
    int stop(int timeoutMs = 5000);
    int exitCode() const;

    QProcess &process() { return process_; }

private:
    QTemporaryDir dir_;
    QProcess process_;
    QStringList slavePaths_;
    QString error_;
};
