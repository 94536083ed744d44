#include "support/pty_pair.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    slavePath_ = QString::fromLocal8Bit(::ptsname(master_));
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0)
        throw std::runtime_error("cannot open the pseudo-terminal's slave");
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    hangUp();
}

void PtyPair::hangUp() {
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
    slave_ = master_ = -1;
}

void PtyPair::write(const QByteArray &bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            throw std::runtime_error("cannot write to the pseudo-terminal");
        }
    }
}

QByteArray PtyPair::read(int count, std::chrono::milliseconds timeout) {
    QByteArray out;
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
        char buf[4096];
        const ssize_t n = ::read(master_, buf, size_t(qMin<qsizetype>(count - out.size(), 4096)));
        if (n > 0) {
            out.append(buf, n);
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, int(left.count()));
    }
    return out;
}

QByteArray PtyPair::drain(std::chrono::milliseconds quiet) {
    QByteArray out;
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, int(quiet.count())) <= 0)
            return out;
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, n);
    }
}
