#include "cli/service_manager.h"

#include <QtGlobal>

#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

ServiceManager::ServiceManager() : socket_(qgetenv("NOTIFY_SOCKET")) {
    // A path, or an abstract name ('@'); what a sockaddr_un cannot hold is no socket of ours.
    if (!socket_.startsWith('/') && !socket_.startsWith('@'))
        socket_.clear();
    if (socket_.size() >= qsizetype(sizeof(sockaddr_un::sun_path)))
        socket_.clear();
    // The watchdog is the main process's: a child started with the environment is not asked.
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    bool ok = false;
    const qulonglong usec = qgetenv("WATCHDOG_USEC").toULongLong(&ok);
    if (!socket_.isEmpty() && ok && usec > 0 && (pid.isEmpty() || pid.toLongLong() == ::getpid()))
        watchdog_ = std::chrono::microseconds(usec);
}

QByteArray ServiceManager::statusLine(const QString &status) {
    if (status.isEmpty() || status == status_)
        return {};
    status_ = status;
    // One line: the protocol ends a value at its line's end.
    return "STATUS=" + QString(status).replace(QLatin1Char('\n'), QLatin1Char(' ')).toUtf8() + '\n';
}

void ServiceManager::ready(const QString &status) {
    kicked_ = Clock::now();
    send("READY=1\n" + statusLine(status), true);
}

void ServiceManager::alive(const QString &status) {
    QByteArray message = statusLine(status);
    if (watchdog_.count() > 0 && Clock::now() - kicked_ >= watchdog_ / 2) {
        kicked_ = Clock::now();
        message += "WATCHDOG=1\n";
    }
    if (!message.isEmpty())
        send(message, false);
}

void ServiceManager::stopping(const QString &status) {
    send("STOPPING=1\n" + statusLine(status), true);
}

void ServiceManager::send(const QByteArray &message, bool wait) {
    if (socket_.isEmpty())
        return;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        return;
    // A manager whose queue is full holds the station up a second at most, for a message it must
    // have; one that comes again soon (alive) is let go at once.
    const timeval patience{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket_.constData(), size_t(socket_.size()));
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(socket_.size()));
    // A manager that does not take it is no reason to stop serving boards.
    (void)::sendto(fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr *>(&address), length);
    ::close(fd);
}
