#include "bench/emulated_devices.h"

#include <csignal>

using namespace std::chrono_literals;

EmulatedDevices::EmulatedDevices(const QString &program, const QStringList &options) {
    start(program, options, 1);
}

EmulatedDevices::EmulatedDevices(const QString &program, int count, const QStringList &options) {
    start(program, QStringList{QStringLiteral("--count"), QString::number(count)} + options, count);
}

EmulatedDevices::~EmulatedDevices() {
    run_.signal(SIGTERM);
    run_.wait(5s);
}

void EmulatedDevices::start(const QString &program, const QStringList &arguments, int count) {
    if (!run_.start(program, arguments))
        return;
    // The emulator says each terminal's path on a line of its own once it is there.
    for (int k = 0; k < count; ++k) {
        const auto line = run_.readLine(10s);
        if (!line)
            break;
        paths_ << QString::fromLocal8Bit(line->text.trimmed());
    }
    if (paths_.size() != count)
        paths_.clear();
}
