#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

// What the station tells the service manager that started it (systemd, Type=notify): that the
// watch runs, that it is alive, what it is doing, and that it is ending. Each is a datagram of
// KEY=VALUE lines on the socket $NOTIFY_SOCKET names (a path, or '@' for the abstract
// namespace), written here rather than through libsystemd: the protocol is that one datagram,
// and the command line keeps to Qt Core and Qt Serial Port. Where no socket is named (a terminal,
// a script), nothing is sent. Used by the thread that runs the station.
class ServiceManager {
public:
    using Clock = std::chrono::steady_clock;

    // Reads $NOTIFY_SOCKET, and $WATCHDOG_USEC where $WATCHDOG_PID is this process or unset.
    ServiceManager();

    // The station has started: READY=1, with what it does.
    void ready(const QString &status);
    // Called at each turn of the station's loop: WATCHDOG=1 at half the interval the manager
    // asked for, and what the station does where that changed.
    void alive(const QString &status);
    // The station is ending: STOPPING=1, with why.
    void stopping(const QString &status);

    // The interval the manager asked for; zero without a watchdog.
    std::chrono::microseconds watchdog() const { return watchdog_; }

private:
    // `wait`: a message the manager must have (ready, stopping), worth a moment's wait.
    void send(const QByteArray &message, bool wait);
    QByteArray statusLine(const QString &status);

    QByteArray socket_;
    std::chrono::microseconds watchdog_{0};
    Clock::time_point kicked_{};
    QString status_;
};
