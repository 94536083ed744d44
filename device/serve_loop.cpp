#include "device/serve_loop.h"

#include "device/station_control.h"
#include "device/station_device.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <utility>
#ifdef __linux__
#include <sys/inotify.h>
#include <sys/prctl.h>
#endif

namespace {

using namespace std::chrono_literals;
using Clock = StationDevice::Clock;
using Time = StationDevice::Time;

// Set by the stop signals' handler, read by the loop: the one thing a handler may touch.
volatile std::sig_atomic_t stopSignal = 0;
// The signal mask to wait with: the stop signals are blocked everywhere else, so one that comes
// between two waits is held back and ends the next wait at once. Set once, before serving.
sigset_t waitMask;

// A timer wakes us late by tens of microseconds; a paced answer must leave when the line would
// have carried it, so the last stretch before it is due is waited out awake.
constexpr auto WakeAhead = 300us;
constexpr qsizetype ReadSize = 65536;

void onStopSignal(int signal) {
    stopSignal = signal;
}

timespec pauseOf(std::chrono::nanoseconds span) {
    if (span < 0ns)
        span = 0ns;
    return {time_t(span.count() / 1000000000), long(span.count() % 1000000000)};
}

bool finished(StationDevice::State state) {
    return state == StationDevice::State::Finished || state == StationDevice::State::Failed;
}

using Devices = std::vector<std::unique_ptr<StationDevice>>;

// Notices when the tools have closed a device's port. The device holds each slave open itself,
// so the system never sees a port's last close; the watch counts the tools' opens and closes of
// each slave instead, and at the last close lets the device drop what a real port drops then. A
// tool killed with the port open closes it too.
class ToolWatch {
public:
    explicit ToolWatch(const std::function<void(const QString &)> &say) : say_(say) {
#ifdef __linux__
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0)
            say_(cannotWatch(QStringLiteral("the ports")));
#endif
    }
    ~ToolWatch() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ToolWatch(const ToolWatch &) = delete;
    ToolWatch &operator=(const ToolWatch &) = delete;

    int fd() const {
        return fd_;
    }

    // Watches each serving device's terminal: a fresh one after it was plugged in again.
    void follow(const Devices &devices) {
        watched_.resize(devices.size());
        for (std::size_t k = 0; k < devices.size(); ++k) {
            const QString path = devices[k]->state() == StationDevice::State::Serving
                                     ? devices[k]->slavePath()
                                     : QString();
            Watched &watched = watched_[k];
            if (path == watched.path)
                continue;
#ifdef __linux__
            if (watched.wd >= 0)
                ::inotify_rm_watch(fd_, watched.wd);
            watched = {-1, path, 0};
            if (fd_ < 0 || path.isEmpty())
                continue;
            watched.wd =
                ::inotify_add_watch(fd_, QFile::encodeName(path).constData(), IN_OPEN | IN_CLOSE);
            if (watched.wd < 0)
                say_(cannotWatch(path));
#endif
        }
    }

    // Takes what the system noticed and tells each device whose last tool has gone.
    void take(Devices &devices) {
#ifdef __linux__
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (ssize_t at = 0; at < n;) {
                inotify_event event;
                std::memcpy(&event, buffer + at, sizeof event);
                at += ssize_t(sizeof event + event.len);
                // Notices were lost: the counts start again, and the next close releases.
                if (event.mask & IN_Q_OVERFLOW) {
                    for (Watched &watched : watched_)
                        watched.opens = 0;
                    continue;
                }
                const auto k = std::find_if(watched_.begin(), watched_.end(),
                                            [&](const Watched &w) { return w.wd == event.wd; }) -
                               watched_.begin();
                if (std::size_t(k) >= watched_.size())
                    continue;
                Watched &watched = watched_[std::size_t(k)];
                if (event.mask & IN_IGNORED) {
                    // The terminal is gone; a new one may come under the same name.
                    watched = {};
                } else if (event.mask & IN_OPEN) {
                    ++watched.opens;
                } else if (event.mask & IN_CLOSE) {
                    // A tool that opened the port before the watch began closes it uncounted.
                    watched.opens = std::max(watched.opens - 1, 0);
                    watched.closed = true;
                }
            }
        }
        // Only after every notice is in: a tool that opened the port since the last close may
        // already have made it exclusive again.
        for (std::size_t k = 0; k < watched_.size(); ++k) {
            Watched &watched = watched_[k];
            if (std::exchange(watched.closed, false) && watched.opens == 0)
                devices[k]->toolsClosed();
        }
#else
        Q_UNUSED(devices)
#endif
    }

private:
    struct Watched {
        int wd = -1;
        QString path;        // the terminal watched, or tried
        int opens = 0;       // the tools' descriptions of it open now
        bool closed = false; // one of them was closed since the last look
    };

    static QString cannotWatch(const QString &what) {
        return QStringLiteral("cannot watch %1 for the tools' closing: %2; a tool killed with its "
                              "port open keeps it exclusive")
            .arg(what, QString::fromLocal8Bit(std::strerror(errno)));
    }

    const std::function<void(const QString &)> &say_;
    int fd_ = -1;
    std::vector<Watched> watched_;
};

// Carries out the control's commands: a fault from a device's next operation on, an unplug, a
// plug back in. Each is said, as it has been done.
void obey(StationControl &control, Devices &devices,
          const std::function<void(const QString &)> &say) {
    for (const StationControl::Command &command : control.take()) {
        StationDevice &device = *devices[size_t(command.device)];
        using Kind = StationControl::Command::Kind;
        if (command.kind == Kind::Fault) {
            DeviceFaults faults;
            QString error;
            if (command.fault != QLatin1String("none")) {
                faults = device.faults();
                AddFault(faults, command.fault, &error);
            }
            device.setFaults(faults);
            say(command.fault == QLatin1String("none")
                    ? QStringLiteral("device %1 has no fault from its next operation on")
                          .arg(command.device)
                    : QStringLiteral("device %1 has the fault %2 from its next operation on")
                          .arg(command.device)
                          .arg(command.fault));
            continue;
        }
        if (command.kind == Kind::Unplug) {
            device.unplug();
            say(QStringLiteral("device %1 unplugged").arg(command.device));
            continue;
        }
        if (device.state() == StationDevice::State::Serving)
            continue;
        QString error;
        if (device.plugIn(&error))
            say(QStringLiteral("device %1 plugged in on %2")
                    .arg(command.device)
                    .arg(device.slavePath()));
        else
            say(QStringLiteral("device %1 cannot be plugged in: %2")
                    .arg(command.device)
                    .arg(error));
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

int Serve(std::vector<std::unique_ptr<StationDevice>> &devices, StationControl *control, bool once,
          const std::function<void(const QString &)> &say) {
#ifdef __linux__
    // A paced answer is due at a point in time; the kernel's default slack would add 50 us to
    // every block.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
#endif
    std::vector<char> buffer(ReadSize);
    std::vector<pollfd> polled;
    std::vector<short> revents(devices.size());
    ToolWatch toolWatch(say);
    bool failed = false;
    for (;;) {
        if (stopSignal) {
            for (auto &device : devices)
                device->unplug();
            return failed ? 1 : 0;
        }
        failed = failed || std::any_of(devices.cbegin(), devices.cend(), [](const auto &device) {
                     return device->state() == StationDevice::State::Failed;
                 });
        if (std::all_of(devices.cbegin(), devices.cend(),
                        [](const auto &device) { return finished(device->state()); }))
            return failed ? 1 : 0;

        toolWatch.follow(devices);
        polled.clear();
        if (control)
            polled.push_back({control->fd(), POLLIN, 0});
        std::optional<Time> wake;
        for (const auto &device : devices) {
            if (device->fd() >= 0)
                polled.push_back({device->fd(), device->pollEvents(), 0});
            const auto next = device->nextWake();
            if (next && (!wake || *next < *wake))
                wake = next;
        }
        // Last, so that the devices' entries keep their order.
        const std::size_t watchAt = polled.size();
        if (toolWatch.fd() >= 0)
            polled.push_back({toolWatch.fd(), POLLIN, 0});
        timespec limit{};
        if (wake)
            limit = pauseOf(*wake - WakeAhead - Clock::now());
        const int ready =
            ::ppoll(polled.data(), nfds_t(polled.size()), wake ? &limit : nullptr, &waitMask);
        if (ready < 0 && errno != EINTR) {
            say(QStringLiteral("cannot wait for the lines: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno))));
            for (auto &device : devices)
                device->unplug();
            return 1;
        }
        if (ready == 0 && wake && *wake - Clock::now() < WakeAhead)
            while (Clock::now() < *wake) {
            }

        // Each device's poll results, by its descriptor, before the control changes any.
        std::size_t at = control ? 1 : 0;
        for (std::size_t k = 0; k < devices.size(); ++k) {
            revents[k] = 0;
            if (ready > 0 && at < polled.size() && devices[k]->fd() == polled[at].fd)
                revents[k] = polled[at++].revents;
        }
        const Time now = Clock::now();
        for (std::size_t k = 0; k < devices.size(); ++k)
            devices[k]->step(revents[k], now, once, buffer.data(), ReadSize);
        if (ready > 0 && watchAt < polled.size() && (polled[watchAt].revents & POLLIN))
            toolWatch.take(devices);

        if (control && ready > 0 && (polled[0].revents & POLLIN))
            obey(*control, devices, say);
    }
}
