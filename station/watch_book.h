#pragma once

#include "ports/port_watch.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <set>
#include <utility>
#include <vector>

// What one look of a watch decided.
struct WatchLook {
    std::vector<QString> appeared;                     // names seen for the first time
    std::vector<std::pair<QString, QString>> removed;  // a board taken off: name, how it ended
    std::vector<std::pair<QString, QString>> servedAs; // name, the name its board was served on
    std::vector<FoundPort> serve;                      // boards to serve now
};

// The watch's bookkeeping, plain data: which boards are new, gone or still there. A board is
// known by its device: it is served once while its device stays, under whichever of its names,
// and whether or not a name leads to it at every look (a link that comes and goes); it is served
// once two looks in a row have seen it (the system may not yet have given its device the
// permissions or the names it will have); unplugged (its device gone at one look, made anew, or
// seen removed and made again between two looks) and back, it is served again.
class WatchBook {
public:
    // The ports present now, each device once; the devices seen before that are still there,
    // whether or not a name found leads to them; the devices unplugged and back since the last
    // look.
    WatchLook look(const std::vector<FoundPort> &found,
                   const std::map<QString, QByteArray> &stillThere = {},
                   const std::set<QString> &replugged = {});
    // The board served on `name` has ended; `result` is what became of it (empty: not served).
    void ended(const QString &name, const QString &result);

    // Present ports that a COM pattern cannot reach, each said once: those not said before.
    std::vector<QString> unreachable(const std::vector<QString> &devices);
    // Of what a watch would say at every look, what it has not said yet. A text that differs from
    // one said only in the lines it names ("line 3") was said: ports.ini, written anew as a port
    // is given its number, has its lines in another order.
    std::vector<QString> unsaid(const QStringList &texts);

private:
    struct Slot {
        QString device;
        QString last; // what became of the last board here
        bool running = false;
    };
    struct Served {
        QByteArray identity;
        QString name;
        bool announced = true; // false: refused before it started
    };
    std::map<QString, Slot> watched_;      // by the port's name
    std::map<QString, Served> served_;     // by device
    std::map<QString, QByteArray> before_; // the devices at the last look
    std::set<QString> said_;               // unreachable ports named already
    std::set<QString> saidTexts_;
};
