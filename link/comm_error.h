#pragma once

#include <QString>

#include <stdexcept>

// An error raised by the serial component. Callers tell the kinds apart: a port closed under a
// running operation (Reset, a mode change) ends it quietly; a lost device is reported.
class CommError : public std::runtime_error {
public:
    enum class Kind {
        PortClosed,   // the port is not open (closed by Reset or a mode change)
        DeviceLost,   // the device hung up or disappeared
        OpenFailed,   // the port could not be opened
        InvalidValue, // a property was given a value it does not take
        WriteStalled, // the device stopped taking our output
    };

    CommError(Kind kind, const QString &message)
        : std::runtime_error(message.toStdString()), kind_(kind) {}

    Kind kind() const { return kind_; }
    QString message() const { return QString::fromStdString(what()); }

private:
    Kind kind_;
};

// The words both serial backends use for the same faults.
inline CommError OpenFailedError(const QString &port, const QString &why) {
    return CommError(CommError::Kind::OpenFailed, QStringLiteral("%1: %2").arg(port, why));
}
inline CommError DeviceLostError(const QString &port, const QString &why) {
    return CommError(CommError::Kind::DeviceLost,
                     QStringLiteral("The device on %1 was lost: %2").arg(port, why));
}
inline CommError WriteStalledError(const QString &port) {
    return CommError(CommError::Kind::WriteStalled,
                     QStringLiteral("The device on %1 takes no more data").arg(port));
}
inline QString LineHungUpText() {
    return QStringLiteral("the line was hung up");
}
inline QString InUseText() {
    return QStringLiteral("in use by another program");
}
