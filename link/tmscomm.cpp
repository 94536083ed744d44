#include "link/tmscomm.h"

#include "link/comm_error.h"

#include <QSerialPort>
#include <QSocketNotifier>
#include <QStringList>
#include <QThread>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A device that takes none of our output for this long has stopped reading.
constexpr auto WriteStallLimit = 5s;
// Longest wait for written bytes to leave the line before a purge goes ahead anyway.
constexpr auto DrainLimit = 2s;

struct LineSettings {
    qint32 baud;
    QSerialPort::Parity parity;
    QSerialPort::DataBits dataBits;
    QSerialPort::StopBits stopBits;
};

bool parseSettings(const QString &text, LineSettings *out) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    bool ok = false;
    const int baud = parts[0].trimmed().toInt(&ok);
    if (!ok || baud <= 0)
        return false;
    const QString parity = parts[1].trimmed().toUpper();
    const QString bits = parts[2].trimmed();
    const QString stop = parts[3].trimmed();
    static const QStringList parities{"N", "E", "O", "M", "S"};
    static const QSerialPort::Parity parityValues[] = {
        QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity,
        QSerialPort::MarkParity, QSerialPort::SpaceParity};
    const int p = parities.indexOf(parity);
    const int b = bits.toInt(&ok);
    if (p < 0 || !ok || b < 5 || b > 8)
        return false;
    QSerialPort::StopBits s;
    if (stop == QLatin1String("1"))
        s = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        s = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        s = QSerialPort::TwoStop;
    else
        return false;
    if (out)
        *out = {baud, parityValues[p], QSerialPort::DataBits(b), s};
    return true;
}

} // namespace

TMSComm::TMSComm() = default;

TMSComm::~TMSComm() {
    closePort();
}

bool TMSComm::PortOpen() const {
    return port_ != nullptr;
}

void TMSComm::setCommPort(int port) {
    if (port < 1 || port > 10)
        throw CommError(CommError::Kind::InvalidValue,
                        QStringLiteral("Port number %1 is out of range").arg(port));
    commPort_ = port;
}

void TMSComm::setSettings(const QString &settings) {
    if (!parseSettings(settings, nullptr))
        throw CommError(CommError::Kind::InvalidValue,
                        QStringLiteral("Invalid line settings \"%1\"").arg(settings));
    settings_ = settings;
}

void TMSComm::setInputMode(int mode) {
    if (mode != comInputModeText && mode != comInputModeBinary)
        throw CommError(CommError::Kind::InvalidValue, QStringLiteral("Invalid input mode"));
    inputMode_ = mode;
}

void TMSComm::setInputLen(int length) {
    if (length < 0)
        throw CommError(CommError::Kind::InvalidValue, QStringLiteral("Invalid input length"));
    inputLen_ = length;
}

QString TMSComm::DevicePathFor(int port) {
    const QByteArray mapped = qgetenv(QStringLiteral("TORVANE_COM%1").arg(port).toLatin1());
    if (!mapped.isEmpty())
        return QString::fromLocal8Bit(mapped);
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

void TMSComm::setPortOpen(bool open) {
    if (!open) {
        closePort();
        return;
    }
    if (port_)
        return;
    LineSettings line{};
    parseSettings(settings_, &line);
    const QString path = portPath_.isEmpty() ? DevicePathFor(commPort_) : portPath_;
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(path);
    // Everything is set before the port opens: a pty refuses a later change of parity alone.
    port->setBaudRate(line.baud);
    port->setParity(line.parity);
    port->setDataBits(line.dataBits);
    port->setStopBits(line.stopBits);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadWrite))
        throw CommError(CommError::Kind::OpenFailed,
                        QStringLiteral("%1: %2").arg(path, port->errorString()));
    // We read the line ourselves, when the caller polls; the port's own reader stays asleep
    // so that bytes never wait in a buffer we do not look at.
    for (QSocketNotifier *notifier : port->findChildren<QSocketNotifier *>())
        notifier->setEnabled(false);
#ifdef Q_OS_LINUX
    // A USB adapter otherwise holds every acknowledgement back for its latency timer.
    serial_struct serial{};
    if (::ioctl(int(port->handle()), TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(int(port->handle()), TIOCSSERIAL, &serial);
    }
#endif
    received_.clear();
    port_ = std::move(port);
}

void TMSComm::closePort() {
    if (!port_)
        return;
    port_->close();
    port_.reset();
    received_.clear();
}

void TMSComm::requireOpen(const char *what) const {
    if (!port_)
        throw CommError(CommError::Kind::PortClosed,
                        QStringLiteral("%1: the port is not open").arg(QLatin1String(what)));
}

void TMSComm::lost(const QString &why) {
    const QString path = port_ ? port_->portName() : QString();
    closePort();
    throw CommError(CommError::Kind::DeviceLost,
                    QStringLiteral("The device on %1 was lost: %2").arg(path, why));
}

// Moves every byte the system holds for us into our buffer, without waiting.
void TMSComm::pull() {
#ifdef Q_OS_UNIX
    // The port's own reader is asleep, so its buffer stays empty; reading from it would wake
    // the reader, which then competes with us for every byte.
    if (port_->bytesAvailable() > 0)
        received_ += port_->readAll();
    const int fd = int(port_->handle());
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            received_.append(chunk, qsizetype(n));
            // A short read took all there was: what comes later is for the next pull.
            if (size_t(n) < sizeof chunk)
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            lost(qt_error_string(errno));
        // With no byte waiting a raw line reads as empty; a hang-up shows in the pause.
        break;
    }
#else
    if (!port_->waitForReadyRead(0) && port_->error() != QSerialPort::TimeoutError &&
        port_->error() != QSerialPort::NoError)
        lost(port_->errorString());
    port_->clearError();
    received_ += port_->readAll();
#endif
}

int TMSComm::InBufferCount() {
    requireOpen("InBufferCount");
    pull();
    return int(received_.size());
}

void TMSComm::setInBufferCount(int count) {
    requireOpen("InBufferCount");
    if (count != 0)
        return;
#ifdef Q_OS_UNIX
    if (port_->bytesAvailable() > 0)
        port_->readAll();
    ::tcflush(int(port_->handle()), TCIFLUSH);
#else
    port_->clear(QSerialPort::Input);
#endif
    received_.clear();
}

int TMSComm::OutBufferCount() const {
    requireOpen("OutBufferCount");
#ifdef Q_OS_UNIX
    int queued = 0;
    if (::ioctl(int(port_->handle()), TIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
#else
    return int(port_->bytesToWrite());
#endif
}

void TMSComm::setOutBufferCount(int count) {
    requireOpen("OutBufferCount");
    if (count != 0)
        return;
    // Bytes already written are on their way to the device: let them leave, never drop them.
    const auto until = Clock::now() + DrainLimit;
    while (OutBufferCount() > 0 && Clock::now() < until)
        QThread::usleep(50);
}

void TMSComm::setOutput(const QByteArray &data) {
    requireOpen("Output");
#ifdef Q_OS_UNIX
    const int fd = int(port_->handle());
    qsizetype done = 0;
    auto lastProgress = Clock::now();
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n > 0) {
            done += n;
            lastProgress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            lost(qt_error_string(errno));
        if (Clock::now() - lastProgress > WriteStallLimit)
            throw CommError(
                CommError::Kind::WriteStalled,
                QStringLiteral("The device on %1 takes no more data").arg(port_->portName()));
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
        if (p.revents & (POLLHUP | POLLERR))
            lost(QStringLiteral("the line was hung up"));
    }
#else
    port_->write(data);
    auto lastProgress = Clock::now();
    while (port_->bytesToWrite() > 0) {
        const qint64 before = port_->bytesToWrite();
        if (!port_->waitForBytesWritten(100) && port_->error() != QSerialPort::TimeoutError)
            lost(port_->errorString());
        port_->clearError();
        if (port_->bytesToWrite() < before)
            lastProgress = Clock::now();
        else if (Clock::now() - lastProgress > WriteStallLimit)
            throw CommError(
                CommError::Kind::WriteStalled,
                QStringLiteral("The device on %1 takes no more data").arg(port_->portName()));
    }
#endif
    if (trace_)
        trace_(Direction::Sent, data);
}

QByteArray TMSComm::Input() {
    requireOpen("Input");
    if (inputLen_ == 0 || received_.size() < inputLen_)
        pull();
    const qsizetype n =
        inputLen_ == 0 ? received_.size() : qMin<qsizetype>(inputLen_, received_.size());
    QByteArray data = received_.left(n);
    received_.remove(0, n);
    if (trace_ && !data.isEmpty())
        trace_(Direction::Received, data);
    return data;
}

void TMSComm::PollPause(int wanted) {
    requireOpen("InBufferCount");
    const auto until = Clock::now() + pollPause_;
    // The caller has just looked at what is waiting: wait for more first.
    for (;;) {
        if (received_.size() >= wanted)
            return;
        const auto left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now());
        if (left <= std::chrono::nanoseconds::zero())
            return;
#ifdef Q_OS_UNIX
        pollfd p{int(port_->handle()), POLLIN, 0};
#ifdef Q_OS_LINUX
        const timespec limit{time_t(left.count() / 1000000000), long(left.count() % 1000000000)};
        if (::ppoll(&p, 1, &limit, nullptr) <= 0)
            return;
#else
        if (::poll(&p, 1, int((left.count() + 999999) / 1000000)) <= 0)
            return;
#endif
        const qsizetype before = received_.size();
        pull();
        // Woken with nothing to read: the line was hung up.
        if (received_.size() == before && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            lost(QStringLiteral("the line was hung up"));
#else
        port_->waitForReadyRead(int(qMax<qint64>(1, left.count() / 1000000)));
        pull();
#endif
    }
}
