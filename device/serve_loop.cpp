#include "device/serve_loop.h"

#include "device/device_machine.h"
#include "device/pty_line.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

using namespace std::chrono_literals;
using Clock = DeviceMachine::Clock;

volatile std::sig_atomic_t stopSignal = 0;
// The signal mask to wait with: the stop signals are blocked everywhere else, so one that comes
// between two waits is held back and ends the next wait at once.
sigset_t waitMask;

// After the last answer of a --once run, how long the tool may take to read it before we go.
constexpr auto LingerLimit = 2s;
// A timer wakes us late by tens of microseconds; a paced answer must leave when the line would
// have carried it, so the last stretch before it is due is waited out awake.
constexpr auto WakeAhead = 300us;

void onStopSignal(int signal) {
    stopSignal = signal;
}

timespec toTimespec(std::chrono::nanoseconds span) {
    if (span < 0ns)
        span = 0ns;
    return {time_t(span.count() / 1000000000), long(span.count() % 1000000000)};
}

QString systemError(const char *what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

// Writes as much as the line takes now; the rest stays in `out`.
bool writeSome(int fd, QByteArray &out, QString *error) {
    while (!out.isEmpty()) {
        const ssize_t n = ::write(fd, out.constData(), size_t(out.size()));
        if (n > 0) {
            out.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        *error = systemError("cannot write to the line");
        return false;
    }
    return true;
}

// Gives the tool time to read the last answer before the line goes away with us.
void linger(const PtyLine &line) {
    const auto until = Clock::now() + LingerLimit;
    while (!stopSignal && line.unreadByTool() > 0 && Clock::now() < until) {
        const timespec pause = toTimespec(5ms);
        ::ppoll(nullptr, 0, &pause, &waitMask);
    }
}

} // namespace

void CatchStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stops, signal);
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::sigprocmask(SIG_BLOCK, &stops, &waitMask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&waitMask, signal);
}

int Serve(PtyLine &line, DeviceMachine &machine, bool once, QString *error) {
#ifdef __linux__
    // A paced answer is due at a point in time; the kernel's default slack would add 50 us to
    // every block.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
#endif
    static char buffer[65536];
    QByteArray out;
    for (;;) {
        if (stopSignal)
            return 0;
        if (out.isEmpty() && machine.lineClosed()) {
            line.hangUp();
            return 0;
        }
        if (once && out.isEmpty() && machine.operationsEnded() > 0 && machine.idle()) {
            linger(line);
            return 0;
        }

        pollfd p{line.master(), short(POLLIN | (out.isEmpty() ? 0 : POLLOUT)), 0};
        timespec limit{};
        const timespec *timeout = nullptr;
        const auto wake = machine.nextWake();
        if (wake) {
            limit = toTimespec(*wake - WakeAhead - Clock::now());
            timeout = &limit;
        }
        if (::ppoll(&p, 1, timeout, &waitMask) < 0) {
            if (errno == EINTR)
                continue;
            *error = systemError("cannot wait for the line");
            return 1;
        }
        const auto now = Clock::now();
        if (p.revents & POLLIN) {
            const ssize_t n = ::read(line.master(), buffer, sizeof buffer);
            if (n > 0) {
                out += machine.feed(buffer, n, now);
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                *error = systemError("cannot read from the line");
                return 1;
            }
        } else if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            *error = QStringLiteral("the line was closed under the device");
            return 1;
        } else {
            if (wake && *wake - now < WakeAhead)
                while (Clock::now() < *wake) {
                }
            out += machine.tick(Clock::now());
        }
        if (!writeSome(line.master(), out, error))
            return 1;
    }
}
