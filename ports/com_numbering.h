#pragma once

#include "ports/com_overrides.h"
#include "ports/com_port_map.h"

#include <QString>
#include <QStringList>

#include <map>
#include <set>
#include <vector>

// The folder where the system links each USB serial port under a name of maker, model and
// serial number, whatever ttyUSB or ttyACM it was given today.
inline constexpr char SerialByIdFolder[] = "/dev/serial/by-id/";

// One serial port the system reports present.
struct PresentPort {
    QString path;     // what opens it: "/dev/ttyUSB0" ("COM3" on Windows)
    QString byIdName; // the name of its link in /dev/serial/by-id; empty when it has none
    bool hasUsbIds = false;
    quint16 vendorId = 0;
    quint16 productId = 0;
    QString serialNumber;
    QString description;      // the system's words for it, e.g. "FT232R USB UART"
    bool builtInUart = false; // one of the machine's own /dev/ttyS<n>
    // Why it is no board's port ("the system console"): never opened, nor reached by a number.
    QString notABoard;
};

// COM n -> the identity of the port it is kept for, as the store holds them.
using ComNumbers = std::map<int, QString>;

// The names a port's number may be kept under, steadiest first: its by-id link
// ("/dev/serial/by-id/usb-FTDI_..."), its USB "usb:vvvv:pppp:SERIAL" (only with a serial
// number: two adapters of one model would share it otherwise), its device path.
QStringList PortIdentities(const PresentPort &port);

// An identity as a person may write it in the store (a by-id link with or without its folder,
// "usb:..." or a device path), in the one form identities are compared in; empty when the text
// names none.
QString CanonicalIdentity(const QString &written);

// n for "/dev/ttyS<n>", else -1.
int BuiltInUartIndex(const QString &path);

struct ComNumbering {
    ComPortMap map;
    ComNumbers added;      // numbers given out now: to be kept
    std::set<int> dropped; // kept numbers let go, their port having moved to another
    // Kept numbers not used, and why: a built-in port kept under a number not its own.
    std::map<int, QString> conflicts;
};

// COM numbers the way Windows gives them: a port seen for the first time takes the lowest free
// number, and keeps it under its identity, present or not. A present built-in /dev/ttyS<n> is
// always COM n+1, and that number goes to nothing else; an adapter kept on it moves to the
// lowest free one. TORVANE_COMn leads COM n to its device whatever else is there, and while it
// does, n is given to no new port. Numbers run from 1 to 10: a port seen when all are taken gets
// none until one is freed in the store.
ComNumbering AssignComNumbers(const std::vector<PresentPort> &present, const ComNumbers &kept,
                              const ComOverrides &overrides);

// Each COM number leads to the device pointed at it, and to nothing else: for a program told its
// devices rather than looking for them.
ComPortMap PointedComPorts(const ComOverrides &devices);

// Windows numbers its ports itself: COM n is "COMn".
ComPortMap SystemNumberedComPorts(const std::vector<PresentPort> &present,
                                  const ComOverrides &overrides);
