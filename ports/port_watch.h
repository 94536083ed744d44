#pragma once

#include "ports/com_port_map.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// A port the watch found present: a board is on it.
struct FoundPort {
    QString name;      // "COM.03", a by-id link's name, or the path a pattern matched
    int portIndex = 0; // COM(portIndex + 1), for a COM name
    QString path;      // what opens it; empty for a COM name, which the COM numbers lead
    QString device;    // the device it leads to now
    // The device node's numbers: a board plugged in anew gets a node made anew, so the same
    // device with another identity is another board. A device that is gone at one look is a new
    // board at the next, whatever its identity.
    QByteArray identity;
};

// Looks for the ports the operator's --port arguments name: COM names ("COM.03", "COM.*"),
// device paths or patterns of them ("/dev/ttyUSB*"), by-id names or patterns of them. Only
// character devices count: a pattern may also match other files in a folder.
class PortWatch {
public:
    PortWatch(QStringList patterns, ComPortSource comPorts);

    // The ports present now, each device once, in the order of the patterns.
    std::vector<FoundPort> scan();
    // Where COM numbers led at the last scan.
    const ComPortMap &comPorts() const { return map_; }

private:
    QStringList patterns_;
    ComPortSource source_;
    ComPortMap map_;
};
