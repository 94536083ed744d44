#include "station/watch_book.h"

#include <QRegularExpression>

#include <algorithm>

WatchLook WatchBook::look(const std::vector<FoundPort> &found,
                          const std::map<QString, QByteArray> &stillThere,
                          const std::set<QString> &replugged) {
    WatchLook look;
    std::map<QString, QByteArray> now = stillThere;
    for (const FoundPort &port : found)
        now[port.device] = port.identity;
    // A board served stays served while its device stays the same node, whether or not a name
    // leads to it now; one unplugged and back between two looks is a board anew, though its node
    // may look the same. A board taken off while it runs says so at its end.
    for (auto it = served_.begin(); it != served_.end();) {
        const auto there = now.find(it->first);
        if (there != now.end() && there->second == it->second.identity &&
            !replugged.count(it->first)) {
            ++it;
            continue;
        }
        const auto slot = watched_.find(it->second.name);
        if (slot != watched_.end() && !slot->second.running && it->second.announced)
            look.removed.emplace_back(slot->first, slot->second.last);
        before_.erase(it->first);
        it = served_.erase(it);
    }
    for (const QString &device : replugged)
        before_.erase(device);
    for (const FoundPort &port : found) {
        const auto [at, added] = watched_.try_emplace(port.name);
        Slot &slot = at->second;
        if (added)
            look.appeared.push_back(port.name);
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
    if (!result.isEmpty()) {
        slot->second.last = result;
        return;
    }
    // Never served: its going is no news.
    for (auto &[device, served] : served_) {
        if (served.name == name && device == slot->second.device)
            served.announced = false;
    }
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
    static const QRegularExpression lineNumber(QStringLiteral("\\bline \\d+"));
    for (const QString &text : texts) {
        if (saidTexts_.insert(QString(text).replace(lineNumber, QStringLiteral("line"))).second)
            fresh.push_back(text);
    }
    return fresh;
}
