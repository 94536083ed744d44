#include "support/device_process.h"

#include <QDeadlineTimer>
#include <QFile>

#include <sys/resource.h>

DeviceProcess::DeviceProcess(const QStringList &arguments, int startTimeoutMs, int devices) {
    process_.setStandardErrorFile(dir_.filePath(QStringLiteral("stderr.txt")));
    process_.start(programPath(), arguments);
    if (!process_.waitForStarted(startTimeoutMs)) {
        error_ = QStringLiteral("cannot start %1: %2").arg(programPath(), process_.errorString());
        return;
    }
    // A real device does not share the PC's processor: where the test may, the emulator goes
    // ahead of the rest of a loaded machine, so that its answers are as prompt as a board's.
    setpriority(PRIO_PROCESS, id_t(process_.processId()), -10);
    QByteArray lines;
    const QDeadlineTimer deadline(startTimeoutMs);
    while (lines.count('\n') < devices && !deadline.hasExpired()) {
        if (!process_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        lines += process_.readAllStandardOutput();
    }
    if (lines.count('\n') < devices) {
        process_.waitForFinished(100);
        error_ = QStringLiteral("torvane-device printed no path: %1").arg(stderrText());
        return;
    }
    for (const QByteArray &line : lines.split('\n').mid(0, devices))
        slavePaths_ << QString::fromLocal8Bit(line.trimmed());
}

DeviceProcess::~DeviceProcess() {
    if (isRunning())
        stop();
}

QString DeviceProcess::programPath() {
    return QStringLiteral(TORVANE_DEVICE_PATH);
}

QString DeviceProcess::stderrText() const {
    QFile file(dir_.filePath(QStringLiteral("stderr.txt")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll());
}

bool DeviceProcess::waitForFinished(int timeoutMs) {
    return !isRunning() || process_.waitForFinished(timeoutMs);
}

int DeviceProcess::stop(int timeoutMs) {
    if (isRunning()) {
        process_.terminate();
        if (!process_.waitForFinished(timeoutMs)) {
            process_.kill();
            process_.waitForFinished(timeoutMs);
            return -1;
        }
    }
    return exitCode();
}

int DeviceProcess::exitCode() const {
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}
