#pragma once

#include "ports/com_port_map.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <set>
#include <vector>

// A port the watch found present: a board is on it.
struct FoundPort {
    QString name;      // "COM.03", a by-id link's name, or the path a pattern matched
    int portIndex = 0; // COM(portIndex + 1), for a COM name
    QString path;      // what opens it: the device node judged, whatever name found it
    QString device;    // the device it leads to now
    // The device node's numbers: a board plugged in anew gets a node made anew, so the same
    // device with another identity is another board. A device that is gone at one look is a new
    // board at the next, whatever its identity.
    QByteArray identity;
    // The node judged, as the system numbers it (st_rdev), and its inode: the board is opened by
    // that very node.
    quint64 number = 0;
    quint64 inode = 0;
};

// A device a pattern matched that is no board's port: never opened.
struct SkippedPort {
    QString device;
    QString why; // "the system console", "no serial port", ...
};

// Looks for the ports the operator's --port arguments name: COM names ("COM.03", "COM.*"),
// device paths or patterns of them ("/dev/ttyUSB*"), by-id names or patterns of them. Only
// character devices count: a pattern may also match other files in a folder. Of those, the
// system console, a terminal someone has (this program's own among them), a virtual console and
// any device that is no serial port are skipped: only serial ports and pseudo-terminals nobody has
// as a terminal are boards.
class PortWatch {
public:
    PortWatch(QStringList patterns, ComPortSource comPorts);
    ~PortWatch();
    PortWatch(const PortWatch &) = delete;
    PortWatch &operator=(const PortWatch &) = delete;

    // The ports present now, each device once, in the order of the patterns.
    std::vector<FoundPort> scan();
    // Whether a pattern names COM numbers ("COM.*"), which reach only the ports that have one.
    bool watchesComNumbers() const;
    // Where COM numbers led at the last scan.
    const ComPortMap &comPorts() const { return map_; }
    // What the last scan found and left alone.
    const std::vector<SkippedPort> &skipped() const { return skipped_; }
    // The devices found before that are still there, each with its identity, whether or not a
    // name leads to them now: a link that comes and goes leaves its board where it was.
    const std::map<QString, QByteArray> &stillThere() const { return stillThere_; }
    // The devices found before whose node was removed or made between the last two scans: a board
    // unplugged and back in less than a scan's time (on Linux, where the system says so).
    const std::set<QString> &replugged() const { return replugged_; }

private:
    // Names made or removed in the folders of the devices found, since the last scan.
    std::set<QString> changedSince();
    void watchFolderOf(const QString &device);

    QStringList patterns_;
    ComPortSource source_;
    ComPortMap map_;
    std::vector<SkippedPort> skipped_;
    std::set<QString> known_; // every device found and not yet gone
    std::map<QString, QByteArray> stillThere_;
    std::set<QString> replugged_;
    int changes_ = -1;               // where the system reports the folders' changes
    std::map<int, QString> folders_; // watched, by the system's number for each
    std::set<QString> watchedFolders_;
};
