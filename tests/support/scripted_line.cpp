#include "support/scripted_line.h"

#include "link/comm_error.h"

#include <algorithm>

using namespace std::chrono_literals;

class ScriptedLine : public SerialLine {
public:
    ScriptedLine(ScriptedDevice &device, const QString &name) : device_(device), name_(name) {}

    void read(QByteArray &into, qsizetype wanted, std::chrono::nanoseconds limit) override {
        device_.catchUp();
        take(into);
        while (into.size() < wanted && limit > 0ns) {
            // Time runs on to the device's next answer, or to the end of the wait.
            std::chrono::nanoseconds step = limit;
            if (const auto wake = device_.machine_.nextWake(); wake && *wake > device_.now_)
                step = std::min(step, std::chrono::nanoseconds(*wake - device_.now_));
            device_.pass(std::max(step, std::chrono::nanoseconds(1us)));
            limit -= step;
            take(into);
        }
    }

    void write(const QByteArray &bytes) override {
        checkLine();
        device_.write(bytes);
    }
    int pendingOutput() override { return 0; }
    void discardInput() override {
        device_.catchUp();
        device_.pending_.clear();
    }

private:
    void take(QByteArray &into) {
        into += device_.pending_;
        device_.pending_.clear();
        checkLine();
    }
    void checkLine() {
        if (device_.machine_.lineClosed())
            throw CommError(
                CommError::Kind::DeviceLost,
                QStringLiteral("The device on %1 was lost: the line was hung up").arg(name_));
    }

    ScriptedDevice &device_;
    QString name_;
};

ScriptedDevice::ScriptedDevice(const DeviceSettings &settings)
    : machine_(settings, store_), now_(Time() + 1h) {}

SerialLineOpener ScriptedDevice::opener() {
    return [this](const QString &path, const LineSettings &) -> std::unique_ptr<SerialLine> {
        if (!refuseOpen.isEmpty())
            throw CommError(CommError::Kind::OpenFailed,
                            QStringLiteral("%1: %2").arg(path, refuseOpen));
        return std::make_unique<ScriptedLine>(*this, path);
    };
}

void ScriptedDevice::write(const QByteArray &bytes) {
    QByteArray sent = bytes;
    if (onWrite)
        onWrite(sent);
    written_ += sent;
    pending_ += machine_.feed(sent, now_);
}

void ScriptedDevice::catchUp() {
    pending_ += machine_.tick(now_);
}

void ScriptedDevice::pass(std::chrono::nanoseconds span) {
    now_ += span;
    catchUp();
}
