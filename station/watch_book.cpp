#include "station/watch_book.h"

#include <algorithm>

WatchLook WatchBook::look(const std::vector<FoundPort> &found,
                          const std::map<QString, QByteArray> &stillThere,
                          const std::set<QString> &replugged) {
    WatchLook look;
    std::map<QString, QByteArray> now = stillThere;
    for (const FoundPort &port : found)
        now[port.device] = port.identity;
    // Its node may look the same as before: it is a board anew all the same.
    for (const QString &device : replugged) {
        served_.erase(device);
        before_.erase(device);
    }
    // A board served stays served while its device stays the same node.
    for (auto it = served_.begin(); it != served_.end();) {
        const auto there = now.find(it->first);
        if (there == now.end() || there->second != it->second.identity)
            it = served_.erase(it);
        else
            ++it;
    }
    for (auto &[name, slot] : watched_) {
        const bool stays =
            std::any_of(found.begin(), found.end(),
                        [&name = name](const FoundPort &p) { return p.name == name; });
        if (slot.present && !stays) {
            slot.present = false;
            // Still there under another name, or with no name this once: no board was taken off.
            // A name whose board was served under another has nothing of its own to report.
            if (slot.announced && !slot.running && !now.count(slot.device))
                look.removed.emplace_back(name, slot.last);
        } else if (slot.present && slot.announced && !slot.running &&
                   replugged.count(slot.device)) {
            look.removed.emplace_back(name, slot.last);
        }
    }
    for (const FoundPort &port : found) {
        const auto [at, added] = watched_.try_emplace(port.name);
        Slot &slot = at->second;
        if (added)
            look.appeared.push_back(port.name);
        slot.present = true;
        if (slot.running)
            continue;
        const auto done = served_.find(port.device);
        if (done != served_.end()) {
            // The board served under another name: a by-id link that came after its device
            // node, say.
            if (slot.device != port.device && done->second.name != port.name)
                look.servedAs.emplace_back(port.name, done->second.name);
            slot.device = port.device;
            continue;
        }
        // The same device under another name is busy while its board is served.
        const bool busy = std::any_of(watched_.begin(), watched_.end(), [&](const auto &s) {
            return s.second.running && s.second.device == port.device;
        });
        const auto seen = before_.find(port.device);
        if (busy || seen == before_.end() || seen->second != port.identity)
            continue;
        served_[port.device] = {port.identity, port.name};
        slot.device = port.device;
        slot.running = true;
        slot.announced = true;
        look.serve.push_back(port);
    }
    before_ = std::move(now);
    return look;
}

void WatchBook::ended(const QString &name, const QString &result) {
    const auto slot = watched_.find(name);
    if (slot == watched_.end())
        return;
    slot->second.running = false;
    if (!result.isEmpty())
        slot->second.last = result;
}

std::vector<QString> WatchBook::unreachable(const std::vector<QString> &devices) {
    std::vector<QString> fresh;
    for (const QString &device : devices) {
        if (said_.insert(device).second)
            fresh.push_back(device);
    }
    return fresh;
}

std::vector<QString> WatchBook::unsaid(const QStringList &texts) {
    std::vector<QString> fresh;
    for (const QString &text : texts) {
        if (saidTexts_.insert(text).second)
            fresh.push_back(text);
    }
    return fresh;
}
