#include "device/station_device.h"

#include "device/image_store.h"
#include "device/terminal_link.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// After the last answer of a --once device, how long the tool may take to read it before the
// line goes away.
constexpr auto LingerLimit = 2s;
constexpr auto LingerStep = 5ms;
// A tool that floods the device hears of it at most this often.
constexpr auto DropReportEvery = 1s;

QString systemError(const char *what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

StationDevice::StationDevice(const DeviceSettings &settings, std::unique_ptr<ImageStore> store,
                             QString link, Say say, DeviceMachine::TraceSink trace)
    : settings_(settings), store_(std::move(store)), link_(std::move(link)), say_(std::move(say)),
      trace_(std::move(trace)) {}

StationDevice::~StationDevice() {
    unplug();
}

bool StationDevice::plugIn(QString *error) {
    unplug();
    if (!line_.open(error))
        return false;
    if (!link_.isEmpty() && !MakeTerminalLink(link_, line_.slavePath(), error)) {
        line_.hangUp();
        return false;
    }
    takeFaults(true);
    makeMachine();
    operationsBefore_ = 0;
    unsent_.clear();
    lingerUntil_.reset();
    nextLingerCheck_.reset();
    dropped_ = droppedReported_ = 0;
    nextDropReport_.reset();
    state_ = State::Serving;
    return true;
}

void StationDevice::makeMachine() {
    machine_ = std::make_unique<DeviceMachine>(settings_, *store_);
    machine_->setTraceSink(trace_);
    machine_->setWarningSink(say_);
}

void StationDevice::setFaults(const DeviceFaults &faults) {
    nextFaults_ = faults;
    takeFaults(false);
}

void StationDevice::takeFaults(bool toolGone) {
    if (!nextFaults_)
        return;
    const bool serving = state_ == State::Serving && machine_;
    if (serving && !toolGone && !(machine_->idle() && unsent_.isEmpty()))
        return;
    settings_.faults = *nextFaults_;
    nextFaults_.reset();
    if (!serving)
        return; // plugged in, it starts with them
    // The flash (the store) stays; what the old machine counted carries over.
    operationsBefore_ += machine_->operationsEnded();
    dropped_ += machine_->inputDropped();
    makeMachine();
}

void StationDevice::unplug() {
    if (state_ == State::Serving)
        end(State::Unplugged, {});
}

// The line goes, and the link with it, so a tool watching the links sees the device gone.
void StationDevice::end(State state, const QString &why) {
    reportDrops(Clock::now(), true);
    if (!why.isEmpty())
        say_(why);
    const QString slave = line_.slavePath();
    line_.hangUp();
    if (!link_.isEmpty())
        RemoveTerminalLink(link_, slave);
    state_ = state;
}

short StationDevice::pollEvents() const {
    return short(POLLIN | (unsent_.isEmpty() ? 0 : POLLOUT));
}

std::optional<StationDevice::Time> StationDevice::nextWake() const {
    if (state_ != State::Serving)
        return std::nullopt;
    std::optional<Time> wake = machine_->nextWake();
    for (const auto &other : {nextLingerCheck_, nextDropReport_})
        if (other && (!wake || *other < *wake))
            wake = other;
    return wake;
}

void StationDevice::step(short revents, Time now, bool once, char *buffer, qsizetype bufferSize) {
    if (state_ != State::Serving)
        return;
    if (revents & POLLIN) {
        takeInput(now, buffer, bufferSize);
    } else if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
        end(State::Failed, QStringLiteral("the line was closed under the device"));
        return;
    }
    if (state_ != State::Serving)
        return;
    unsent_ += machine_->tick(now);
    if (!writeSome())
        return;
    reportDrops(now, false);
    if (unsent_.isEmpty() && machine_->lineClosed()) {
        end(State::Finished, {});
        return;
    }
    takeFaults(false);
    if (once && unsent_.isEmpty() && operationsBefore_ + machine_->operationsEnded() > 0 &&
        machine_->idle()) {
        // The tool reads the last answer before the line goes away with the device.
        if (!lingerUntil_)
            lingerUntil_ = now + LingerLimit;
        if (line_.unreadByTool() == 0 || now >= *lingerUntil_)
            end(State::Finished, {});
        else
            nextLingerCheck_ = now + LingerStep;
    }
}

void StationDevice::takeInput(Time now, char *buffer, qsizetype bufferSize) {
    const ssize_t n = ::read(line_.master(), buffer, size_t(bufferSize));
    if (n > 0) {
        // A device's receiver overruns when the tool never reads what it answers.
        if (unsent_.size() >= UnsentLimit)
            dropped_ += n;
        else
            unsent_ += machine_->feed(buffer, n, now);
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        end(State::Failed, systemError("cannot read from the line"));
    }
}

// Writes as much as the line takes now; the rest waits.
bool StationDevice::writeSome() {
    while (!unsent_.isEmpty()) {
        const ssize_t n = ::write(line_.master(), unsent_.constData(), size_t(unsent_.size()));
        if (n > 0) {
            unsent_.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        end(State::Failed, systemError("cannot write to the line"));
        return false;
    }
    return true;
}

// At most once a DropReportEvery, and what is left when the device ends.
void StationDevice::reportDrops(Time now, bool last) {
    if (!machine_)
        return;
    const qint64 total = dropped_ + machine_->inputDropped();
    if (total == droppedReported_) {
        nextDropReport_.reset();
        return;
    }
    if (!last && nextDropReport_ && now < *nextDropReport_)
        return;
    say_(QStringLiteral("dropped %1 bytes from the tool (%2 in all): it does not read the "
                        "answers")
             .arg(total - droppedReported_)
             .arg(total));
    droppedReported_ = total;
    nextDropReport_ = now + DropReportEvery;
}
