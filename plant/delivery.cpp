#include "plant/delivery.h"

#include "plant/broker_connection.h"
#include "plant/outbox.h"

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Names of waiting records held in memory at once: the rest wait on the disk for the next look.
constexpr size_t HeldNames = 1000;
// Records sent and not yet acknowledged.
constexpr size_t InFlight = 100;
// How often the outbox is looked at for records that other stations put there.
constexpr auto LookEvery = 5s;
// Records the broker took, removed from the disk at a time while nothing else is to be done.
constexpr int SweepAtOnce = 20;

} // namespace

void Delivery::take(std::vector<std::string> names) {
    for (std::string &name : names) {
        // A look at the disk may have found it between its writing and its hand-over, and sent
        // it already.
        const bool inFlight = std::any_of(sent_.begin(), sent_.end(),
                                          [&](const auto &under) { return under.second == name; });
        if (held_.size() < HeldNames && !inFlight)
            held_.insert(std::move(name));
    }
}

qint64 Delivery::settle() {
    const std::vector<int> acknowledged = connection_.takeAcknowledged();
    qint64 settled = 0;
    for (const int id : acknowledged) {
        const auto it = sent_.find(id);
        if (it == sent_.end())
            continue;
        outbox_.remove(it->second);
        sent_.erase(it);
        ++settled;
    }
    if (settled > 0)
        sweep_ = true;
    return settled;
}

void Delivery::look() {
    const Clock::time_point now = Clock::now();
    if (!held_.empty() || (outbox_.count() <= qint64(sent_.size()) && now - lastLook_ < LookEvery))
        return;
    lastLook_ = now;
    for (std::string &name : outbox_.oldest(HeldNames))
        held_.insert(std::move(name));
    for (const auto &[id, name] : sent_)
        held_.erase(name);
}

void Delivery::send(QStringList *notes) {
    while (sent_.size() < InFlight && !held_.empty()) {
        const std::string name = *held_.begin();
        held_.erase(held_.begin());
        const Outbox::Read read = outbox_.read(name);
        // Gone: another station delivered it. Or no record: kept aside, said once.
        if (read.verdict == Outbox::Read::Verdict::Gone)
            continue;
        const QString file = QString::fromStdString(name);
        if (read.verdict == Outbox::Read::Verdict::Unreadable) {
            if (outbox_.setAside(name, ".unreadable"))
                *notes << QStringLiteral("the outbox's %1 could not be read (%2); it is kept "
                                         "aside as %1.unreadable and not sent")
                              .arg(file, read.why);
            continue;
        }
        if (read.verdict == Outbox::Read::Verdict::Refused) {
            if (outbox_.setAside(name, ".refused"))
                *notes << QStringLiteral("the outbox's %1 is no record the outbox wrote (%2); "
                                         "it is kept aside as %1.refused and not sent")
                              .arg(file, read.why);
            continue;
        }
        const int id = connection_.publish(read.payload);
        if (id < 0) {
            held_.insert(name);
            return;
        }
        sent_.emplace(id, name);
    }
}

void Delivery::sweep() {
    if (sweeping())
        sweep_ = outbox_.sweep(SweepAtOnce);
}

int Delivery::pauseMs(bool connected, bool delivering) const {
    if (!connected || !sent_.empty())
        return 20;
    return delivering && sweeping() ? 0 : 1000;
}
