#include "device/pty_line.h"

#include <QByteArray>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

bool PtyLine::open(QString *error) {
    const auto fail = [&](const char *what) {
        *error = QStringLiteral("%1: %2").arg(QLatin1String(what),
                                              QString::fromLocal8Bit(std::strerror(errno)));
        hangUp();
        return false;
    };
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        return fail("cannot open a pseudo-terminal");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        return fail("cannot unlock the pseudo-terminal");
    const char *name = ::ptsname(master_);
    if (!name)
        return fail("cannot name the pseudo-terminal");
    slavePath_ = QString::fromLocal8Bit(name);
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0)
        return fail("cannot open the pseudo-terminal's slave");
    termios tio{};
    if (::tcgetattr(slave_, &tio) != 0)
        return fail("cannot read the line settings");
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    if (::tcsetattr(slave_, TCSANOW, &tio) != 0)
        return fail("cannot set the line to raw");
    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail("cannot make the line non-blocking");
    return true;
}

int PtyLine::unreadByTool() const {
    if (slave_ < 0)
        return 0;
    // What the master wrote reaches the slave a moment later, by way of a kernel worker; polling
    // the slave waits for that hand-over, so the count below includes the last answer.
    pollfd p{slave_, POLLIN, 0};
    ::poll(&p, 1, 0);
    int waiting = 0;
    if (::ioctl(slave_, FIONREAD, &waiting) != 0)
        return 0;
    return waiting;
}

void PtyLine::releaseExclusive() {
    if (slave_ >= 0)
        ::ioctl(slave_, TIOCNXCL);
}

void PtyLine::hangUp() {
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
    slave_ = master_ = -1;
}
