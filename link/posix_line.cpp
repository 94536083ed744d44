#include "link/comm_error.h"
#include "link/judged_open.h"
#include "link/lock_file.h"
#include "link/port_claim.h"
#include "link/serial_line.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

QString systemError(int error) {
    return qt_error_string(error);
}

speed_t speedOf(qint32 baud) {
    struct Rate {
        qint32 baud;
        speed_t speed;
    };
    static constexpr Rate rates[] = {
        {1200, B1200},     {2400, B2400},     {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
        {460800, B460800}, {921600, B921600}, {1000000, B1000000},
#endif
    };
    for (const Rate &rate : rates)
        if (rate.baud == baud)
            return rate.speed;
    return B0;
}

// A pseudo-terminal carries no parity: the system takes the rest of the settings and drops the
// parity bit, so a pty must not be refused for it.
bool isPseudoTerminal(int fd) {
#ifdef Q_OS_LINUX
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned int group = major(st.st_rdev);
    return group >= 136 && group <= 143; // the Unix 98 pty slaves
#else
    Q_UNUSED(fd)
    return false;
#endif
}

// The whole line state, set from scratch: nothing an earlier program left behind (flow control,
// a canonical line, echo, another speed or frame) survives.
termios lineStateFor(termios tio, const LineSettings &settings, speed_t speed) {
    tio.c_iflag = 0; // no parity check or marks, no CR/NL mapping, no XON/XOFF
    tio.c_oflag = 0;
    tio.c_lflag = 0; // raw: no line editing, no echo, no signals
    // Only what the system does with the modem lines on close is left as it was.
    tio.c_cflag = (tio.c_cflag & HUPCL) | CREAD | CLOCAL;
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[settings.dataBits - 5];
    switch (settings.parity) {
    case LineSettings::Parity::None:
        break;
    case LineSettings::Parity::Even:
        tio.c_cflag |= PARENB;
        break;
    case LineSettings::Parity::Odd:
        tio.c_cflag |= PARENB | PARODD;
        break;
#ifdef CMSPAR
    case LineSettings::Parity::Mark:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case LineSettings::Parity::Space:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
#else
    default:
        break;
#endif
    }
    if (settings.stopBits != LineSettings::StopBits::One)
        tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    return tio;
}

// What the port took, against what it was given; empty when every setting that matters holds.
QString settingsNotTaken(int fd, const termios &wanted) {
    termios got{};
    if (::tcgetattr(fd, &got) != 0)
        return systemError(errno);
    constexpr tcflag_t frame = CSIZE | CSTOPB | CREAD | CLOCAL
#ifdef CRTSCTS
                               | CRTSCTS
#endif
        ;
#ifdef CMSPAR
    constexpr tcflag_t parity = PARENB | PARODD | CMSPAR;
#else
    constexpr tcflag_t parity = PARENB | PARODD;
#endif
    if (::cfgetospeed(&got) != ::cfgetospeed(&wanted))
        return QStringLiteral("the port keeps another speed");
    if ((got.c_cflag & frame) != (wanted.c_cflag & frame))
        return QStringLiteral("the port keeps another frame or flow control");
    if ((got.c_cflag & parity) != (wanted.c_cflag & parity) &&
        !((got.c_cflag & PARENB) == 0 && isPseudoTerminal(fd)))
        return QStringLiteral("the port does not take the parity");
    if (got.c_iflag != wanted.c_iflag || (got.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) != 0 ||
        (got.c_oflag & OPOST) != 0)
        return QStringLiteral("the port keeps a terminal's processing");
    return {};
}

class PosixLine final : public SerialLine {
public:
    explicit PosixLine(const QString &name) : name_(name) {}
    ~PosixLine() override {
        if (fd_ < 0)
            return;
        // Only our own exclusive mode: a holder's is theirs (root opens past it).
        if (claimed_)
            ReleaseDevice(fd_);
        ::close(fd_);
    }
    PosixLine(const PosixLine &) = delete;
    PosixLine &operator=(const PosixLine &) = delete;

    void read(QByteArray &into, qsizetype wanted, std::chrono::nanoseconds limit) override {
        // A wait comes right after a look at what is waiting (a poll's InBufferCount): it goes
        // straight to the system's wait, which ends at once when bytes are there. One read less
        // a poll counts with many ports polling at once.
        if (limit <= 0ns || into.size() >= wanted) {
            readWaiting(into);
            return;
        }
        const auto until = Clock::now() + limit;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now());
            if (left <= 0ns)
                return;
            pollfd p{fd_, POLLIN, 0};
#ifdef Q_OS_LINUX
            const timespec pause{time_t(left.count() / 1000000000),
                                 long(left.count() % 1000000000)};
            const int ready = ::ppoll(&p, 1, &pause, nullptr);
#else
            const int ready = ::poll(&p, 1, int((left.count() + 999999) / 1000000));
#endif
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return;
            const qsizetype before = into.size();
            readWaiting(into);
            // Woken with nothing to read: the line was hung up (an adapter pulled out, the
            // device's end closed).
            if (into.size() == before && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
                lost(LineHungUpText());
            if (into.size() >= wanted)
                return;
        }
    }

    void write(const QByteArray &bytes) override {
        qsizetype done = 0;
        auto lastProgress = Clock::now();
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0) {
                done += n;
                lastProgress = Clock::now();
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                lost(systemError(errno));
            if (Clock::now() - lastProgress > WriteStallLimit)
                throw WriteStalledError(name_);
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 100);
            if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
                lost(LineHungUpText());
        }
    }

    int pendingOutput() override {
        int queued = 0;
        if (::ioctl(fd_, TIOCOUTQ, &queued) != 0)
            return 0;
        return queued;
    }

    void discardInput() override {
        ::tcflush(fd_, TCIFLUSH);
    }

private:
    // Takes every byte the system holds for us, without waiting.
    void readWaiting(QByteArray &into) {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n > 0) {
                into.append(chunk, qsizetype(n));
                // A short read took all there was: what comes later is for the next read.
                if (size_t(n) < sizeof chunk)
                    return;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                lost(systemError(errno));
            // A raw line with nothing waiting reads as empty; a hang-up shows in the wait.
            return;
        }
    }

    [[noreturn]] void lost(const QString &why) const {
        throw DeviceLostError(name_, why);
    }

    std::unique_ptr<PortLockFile> lockFile_; // outlives the descriptor
    int fd_ = -1;
    bool claimed_ = false;
    QString name_;

public:
    void open(const LineSettings &settings, const LineNoteSink &note, const PortCheck &check);
};

[[noreturn]] void openFailed(const QString &path, const QString &why) {
    throw OpenFailedError(path, why);
}

void PosixLine::open(const LineSettings &settings, const LineNoteSink &note,
                     const PortCheck &check) {
    const QString &path = name_;
    const speed_t speed = speedOf(settings.baud);
    if (speed == B0)
        openFailed(path,
                   QStringLiteral("%1 bit/s is not a rate this port takes").arg(settings.baud));
    // Closed with this object on every way out.
    const JudgedDevice device = OpenJudgedDevice(path, check);
    fd_ = device.fd;
    // Programs that go by the lock files learn of us, and we of them, before the device is
    // touched; our lock is named after the device opened, whatever name reached it.
    lockFile_ = std::make_unique<PortLockFile>(device.node);
    if (const QString refusal = lockFile_->take(note); !refusal.isEmpty())
        openFailed(path, refusal);
    RefuseOtherHolders(device, path, check, note);
    if (const QString refusal = ClaimDevice(fd_); !refusal.isEmpty())
        openFailed(path, refusal);
    claimed_ = true;
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0)
        openFailed(path, systemError(errno));
    const termios wanted = lineStateFor(tio, settings, speed);
    // The system may answer "invalid" when it took the settings but for one that the device
    // cannot hold (a pty's parity); what counts is what the port reads back.
    if (::tcsetattr(fd_, TCSANOW, &wanted) != 0 && errno != EINVAL)
        openFailed(path, systemError(errno));
    const QString refused = settingsNotTaken(fd_, wanted);
    if (!refused.isEmpty())
        openFailed(path, refused);
#ifdef Q_OS_LINUX
    // A USB adapter otherwise holds every acknowledgement back for its latency timer.
    serial_struct serial{};
    if (::ioctl(fd_, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd_, TIOCSSERIAL, &serial);
    }
#endif
}

} // namespace

std::unique_ptr<SerialLine> OpenSerialLine(const QString &path, const LineSettings &settings,
                                           const LineNoteSink &note, const PortCheck &check) {
    auto line = std::make_unique<PosixLine>(path);
    line->open(settings, note, check);
    return line;
}
