#include "device/serve_loop.h"

#include "device/station_control.h"
#include "device/station_device.h"

#include <algorithm>
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

        if (control && ready > 0 && (polled[0].revents & POLLIN)) {
            for (const StationControl::Command &command : control->take()) {
                StationDevice &device = *devices[size_t(command.device)];
                if (!command.plug) {
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
    }
}
