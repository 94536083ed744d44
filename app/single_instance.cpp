#include "app/single_instance.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QRegularExpression>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// The request a later start sends; it carries no data.
constexpr char ShowInstance[] = "WM_SHOWINSTANCE\n";
constexpr int HandOverMs = 2000;

// The X server a DISPLAY names: ":0", ":0.0" and "unix:0" are one display, whose screens the
// window system lets a window move between.
QString x11Display(QString display) {
    static const QRegularExpression screen(QStringLiteral("^(.*:\\d+)\\.\\d+$"));
    display.replace(screen, QStringLiteral("\\1"));
    if (display.startsWith(QLatin1String("unix:")))
        display.remove(0, 4);
    return display;
}

} // namespace

QString SingleInstance::NameFor(const QProcessEnvironment &environment) {
    QString name = environment.value(QStringLiteral("TORVANE_INSTANCE_NAME"));
    if (name.isEmpty()) {
#ifdef Q_OS_UNIX
        const QString user = QString::number(::getuid());
#else
        const QString user = environment.value(QStringLiteral("USERNAME"));
#endif
        name = QStringLiteral("%1.%2").arg(QLatin1String(ClassName), user);
    }
    // Both where both are set: a session's Wayland and X programs are one person's screen.
    const QString wayland = environment.value(QStringLiteral("WAYLAND_DISPLAY"));
    const QString x11 = environment.value(QStringLiteral("DISPLAY"));
    if (!wayland.isEmpty())
        name += QStringLiteral(".wayland-%1").arg(wayland);
    if (!x11.isEmpty())
        name += QStringLiteral(".x11-%1").arg(x11Display(x11));
    // Where local names are files, a display's "/" would make folders of it.
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return name;
}

QString SingleInstance::DefaultName() {
    return NameFor(QProcessEnvironment::systemEnvironment());
}

SingleInstance::SingleInstance(const QString &name, QObject *parent)
    : QObject(parent), name_(name) {}

SingleInstance::~SingleInstance() = default;

SingleInstance::Outcome SingleInstance::claimOrHandOver() {
    if (listen())
        return Outcome::Claimed;
    if (server_->serverError() != QAbstractSocket::AddressInUseError)
        return Outcome::Claimed; // no guard to be had: the tool still runs
    if (handOver())
        return Outcome::HandedOver;
#ifndef Q_OS_LINUX
    // Nobody answers on the name: a socket file left by an instance that crashed.
    QLocalServer::removeServer(name_);
    listen();
#endif
    // The holder does not answer: run rather than end without a window.
    return Outcome::Claimed;
}

bool SingleInstance::listen() {
    if (!server_) {
        server_ = new QLocalServer(this);
#ifdef Q_OS_LINUX
        // An abstract name vanishes with its process: nothing stale survives a crash.
        server_->setSocketOptions(QLocalServer::AbstractNamespaceOption);
#else
        server_->setSocketOptions(QLocalServer::UserAccessOption);
#endif
        connect(server_, &QLocalServer::newConnection, this, &SingleInstance::acceptRequests);
    }
    return server_->listen(name_);
}

bool SingleInstance::handOver() {
    QLocalSocket socket;
#ifdef Q_OS_LINUX
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
#endif
    socket.connectToServer(name_);
    if (!socket.waitForConnected(HandOverMs))
        return false;
    socket.write(ShowInstance);
    socket.waitForBytesWritten(HandOverMs);
    socket.disconnectFromServer();
    return true;
}

void SingleInstance::acceptRequests() {
    while (QLocalSocket *socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto readRequest = [this, socket] {
            if (socket->bytesAvailable() < qint64(sizeof ShowInstance - 1))
                return;
            const QByteArray request = socket->read(sizeof ShowInstance - 1);
            if (request == ShowInstance)
                emit showRequested();
            socket->disconnectFromServer();
        };
        connect(socket, &QLocalSocket::readyRead, this, readRequest);
        readRequest();
    }
}
