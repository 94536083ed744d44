#pragma once

#include "bench/child_run.h"

#include <QString>
#include <QStringList>

// Devices played by one device emulator (torvane-device), each on its own pseudo-terminal,
// stopped when this goes.
class EmulatedDevices {
public:
    // One device, as a single run plays it.
    EmulatedDevices(const QString &program, const QStringList &options);
    // `count` devices (--count).
    EmulatedDevices(const QString &program, int count, const QStringList &options);
    ~EmulatedDevices();
    EmulatedDevices(const EmulatedDevices &) = delete;
    EmulatedDevices &operator=(const EmulatedDevices &) = delete;

    // Their terminals in order; none when the emulator did not give them all.
    QStringList paths() const { return paths_; }
    QString path() const { return paths_.value(0); }

private:
    void start(const QString &program, const QStringList &arguments, int count);

    ChildRun run_;
    QStringList paths_;
};
