#include "link/comm_error.h"
#include "link/serial_line.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#include <thread>

#ifdef Q_OS_UNIX
#include "link/judged_open.h"
#include "link/lock_file.h"
#include "link/port_claim.h"

#include <QScopeGuard>

#include <cerrno>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

QSerialPort::StopBits stopBitsOf(const LineSettings &settings) {
    static constexpr QSerialPort::StopBits stops[] = {
        QSerialPort::OneStop, QSerialPort::OneAndHalfStop, QSerialPort::TwoStop};
    return stops[int(settings.stopBits)];
}

void apply(QSerialPort &port, const LineSettings &settings) {
    static constexpr QSerialPort::Parity parities[] = {
        QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity,
        QSerialPort::MarkParity, QSerialPort::SpaceParity};
    // Everything is set before the port opens: a pty refuses a later change of parity alone.
    port.setBaudRate(settings.baud);
    port.setParity(parities[int(settings.parity)]);
    port.setDataBits(QSerialPort::DataBits(settings.dataBits));
    port.setStopBits(stopBitsOf(settings));
    port.setFlowControl(QSerialPort::NoFlowControl);
}

// QSerialPort takes a name without a leading "/" to be one in /dev ("ttyUSB0"); a path relative
// to the working folder ("board/tty0") is made whole so that it means what it says.
QString systemName(const QString &path) {
#ifdef Q_OS_UNIX
    if (path.contains(QLatin1Char('/')) && !path.startsWith(QLatin1Char('/')))
        return QFileInfo(path).absoluteFilePath();
#endif
    return path;
}

bool isTimeout(const QSerialPort &port) {
    return port.error() == QSerialPort::NoError || port.error() == QSerialPort::TimeoutError;
}

class PortableLine final : public SerialLine {
public:
    explicit PortableLine(const QString &path) : path_(path), device_(systemName(path)) {
        port_.setPortName(device_);
    }
    ~PortableLine() override {
#ifdef Q_OS_UNIX
        if (claimed_)
            ReleaseDevice(int(port_.handle()));
#endif
        port_.close();
#ifdef Q_OS_WIN
        if (timerRaised_)
            ::timeEndPeriod(1);
#endif
    }
    PortableLine(const PortableLine &) = delete;
    PortableLine &operator=(const PortableLine &) = delete;

    void open(const LineSettings &settings, const LineNoteSink &note, const PortCheck &check) {
#ifdef Q_OS_UNIX
        // The device is judged on a descriptor of our own before the toolkit touches it; held
        // open meanwhile, its node cannot be given to another device, and the toolkit's own
        // opening is checked against it. The toolkit names its lock file after the name it is
        // given and believes only locks that name the program that wrote them: it is given the
        // device itself, and finds the place cleared of stale locks and refused where a live
        // program holds it.
        const JudgedDevice judged = OpenJudgedDevice(path_, check);
        const auto closeJudged = qScopeGuard([&] { ::close(judged.fd); });
        device_ = judged.node;
        port_.setPortName(device_);
        PortLockFile lock(device_);
        if (const QString refusal = lock.clear(note); !refusal.isEmpty())
            throw OpenFailedError(path_, refusal);
        // The toolkit opens no port whose lock it cannot write.
        if (lock.placeHoldsNoLock())
            throw OpenFailedError(path_, QStringLiteral("the lock file %1 is no file, and the "
                                                        "serial toolkit opens no port without "
                                                        "writing its lock there: remove it")
                                             .arg(lock.path()));
        RefuseOtherHolders(judged, path_, check, note);
#else
        Q_UNUSED(note)
        Q_UNUSED(check)
#endif
        apply(port_, settings);
        if (!port_.open(QIODevice::ReadWrite)) {
            // Settings the line kept from a program that ended without closing it may already
            // be ours but for the parity, which a pty cannot hold; setting that alone is then
            // answered as invalid. Going round by another stop bit makes it a change the
            // system takes, and the stop bit is set right again at once.
            if (port_.error() == QSerialPort::PermissionError ||
                port_.error() == QSerialPort::DeviceNotFoundError)
                failed();
            port_.clearError();
            LineSettings detour = settings;
            detour.stopBits = settings.stopBits == LineSettings::StopBits::One
                                  ? LineSettings::StopBits::Two
                                  : LineSettings::StopBits::One;
            apply(port_, detour);
            if (!port_.open(QIODevice::ReadWrite))
                failed();
            if (!port_.setStopBits(stopBitsOf(settings))) {
                port_.close();
                failed();
            }
        }
#ifdef Q_OS_UNIX
        struct stat ours {};
        struct stat theirs {};
        if (::fstat(judged.fd, &ours) != 0 || ::fstat(int(port_.handle()), &theirs) != 0 ||
            ours.st_rdev != theirs.st_rdev || ours.st_ino != theirs.st_ino) {
            port_.close();
            throw OpenFailedError(path_, QStringLiteral("%1 was made anew for another device "
                                                        "while it was opened")
                                             .arg(device_));
        }
        if (const QString refusal = ClaimDevice(int(port_.handle())); !refusal.isEmpty()) {
            port_.close();
            throw OpenFailedError(path_, refusal);
        }
        claimed_ = true;
#endif
#ifdef Q_OS_WIN
        // A 1 ms wait otherwise sleeps a whole timer tick (15.6 ms): one block would take
        // 40 ms instead of 26 ms on the real line.
        timerRaised_ = ::timeBeginPeriod(1) == TIMERR_NOERROR;
#endif
    }

    void read(QByteArray &into, qsizetype wanted, std::chrono::nanoseconds limit) override {
        take(into, 0);
        if (into.size() >= wanted || limit <= 0ns)
            return;
        // The toolkit waits in whole milliseconds: a shorter pause (the tests' seam) is slept.
        if (limit < 1ms) {
            std::this_thread::sleep_for(limit);
            take(into, 0);
            return;
        }
        const auto until = Clock::now() + limit;
        while (into.size() < wanted) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            if (left <= 0ms)
                return;
            take(into, int(left.count()));
        }
    }

    void write(const QByteArray &bytes) override {
        if (port_.write(bytes) != bytes.size())
            lost(port_.errorString());
        auto lastProgress = Clock::now();
        while (port_.bytesToWrite() > 0) {
            const qint64 before = port_.bytesToWrite();
            if (!port_.waitForBytesWritten(100) && !isTimeout(port_))
                lost(port_.errorString());
            port_.clearError();
            if (port_.bytesToWrite() < before)
                lastProgress = Clock::now();
            else if (Clock::now() - lastProgress > WriteStallLimit)
                throw WriteStalledError(path_);
        }
    }

    int pendingOutput() override {
        return int(port_.bytesToWrite());
    }

    void discardInput() override {
        port_.clear(QSerialPort::Input);
    }

private:
    // Waits up to `ms` for bytes (none: only what is there), then takes all there are.
    void take(QByteArray &into, int ms) {
        if (!port_.waitForReadyRead(ms) && !isTimeout(port_))
            lost(port_.errorString());
        port_.clearError();
        into += port_.readAll();
    }
    [[noreturn]] void failed() {
#ifdef Q_OS_UNIX
        // The toolkit says "permission" both for a device it may not open and for one that
        // another program has locked, and names no cause for a device that is no serial port.
        if (port_.error() == QSerialPort::PermissionError) {
            const bool mayOpen = ::access(QFile::encodeName(device_).constData(), R_OK | W_OK) == 0;
            throw OpenFailedError(path_, OpenFailureCause(device_, mayOpen ? EBUSY : EACCES));
        }
        if (port_.error() == QSerialPort::UnsupportedOperationError)
            throw OpenFailedError(path_, OpenFailureCause(device_, ENOTTY));
#endif
        throw OpenFailedError(path_, port_.errorString());
    }
    [[noreturn]] void lost(const QString &why) {
        throw DeviceLostError(path_, hungUp() ? LineHungUpText() : why);
    }
    // The toolkit reports a hang-up in the words of whichever system call noticed it ("Invalid
    // argument", "Inappropriate ioctl for device"): the line itself tells.
    bool hungUp() const {
        if (port_.error() == QSerialPort::ResourceError)
            return true;
#ifdef Q_OS_UNIX
        pollfd p{int(port_.handle()), POLLIN, 0};
        if (p.fd >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return true;
#endif
        return false;
    }

    QString path_;
    QString device_; // as the toolkit was given it
    QSerialPort port_;
    bool claimed_ = false;
#ifdef Q_OS_WIN
    bool timerRaised_ = false;
#endif
};

} // namespace

std::unique_ptr<SerialLine> OpenSerialLine(const QString &path, const LineSettings &settings,
                                           const LineNoteSink &note, const PortCheck &check) {
    auto line = std::make_unique<PortableLine>(path);
    line->open(settings, note, check);
    return line;
}
