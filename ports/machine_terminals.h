#pragma once

#include <QByteArray>
#include <QString>

#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

// A character device's numbers: (major, minor).
using DeviceNumber = std::pair<unsigned, unsigned>;

// One terminal driver as the system lists them: the devices it serves, and its kind ("serial",
// "pty:slave", "console", "system:/dev/tty", ...).
struct TtyDriver {
    unsigned major = 0;
    unsigned firstMinor = 0;
    unsigned lastMinor = 0;
    QString type;
};

// The machine's terminals at one moment, as the system tells them without a device being opened.
struct MachineTerminals {
    std::vector<TtyDriver> drivers;        // empty where the system does not list them
    std::set<DeviceNumber> consoles;       // where the kernel writes its messages
    DeviceNumber own{0, 0};                // this program's controlling terminal; (0, 0): none
    std::map<DeviceNumber, QString> inUse; // another process's controlling terminal: "1234 (bash)"
    std::set<DeviceNumber> noUart;         // built-in serial ports with no UART behind them
};

// The drivers in the text of /proc/tty/drivers.
std::vector<TtyDriver> ParseTtyDrivers(const QByteArray &text);

// What /proc and /sys say now. Nothing is opened but those files.
MachineTerminals ReadMachineTerminals();

// Why the character device `device` is no board's port, in a few words ("the system console", "no
// serial port"); empty when it may be one: a serial port, or a pseudo-terminal nobody has as a
// terminal (the emulator's boards are those).
QString NoBoardPort(DeviceNumber device, const MachineTerminals &terminals);

// NoBoardPort for the device with the system's number `device` (st_rdev), as the machine's
// terminals are now: the judge of a port opened as a board's.
QString NoBoardPortNow(quint64 device);

// The numbers of the character device `path` leads to; nothing when it leads to none.
std::optional<DeviceNumber> CharacterDeviceOf(const QString &path);
