#include "ports/machine_terminals.h"

#include "base/bounded_file.h"

#include <QDir>
#include <QFile>

#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif

namespace {

// What the system says in one of its files; nothing past a bound.
QByteArray contentsOf(const QString &path) {
    return ReadBoundedFile(path, 256 << 10).content;
}

// "4:64" as /sys writes a device's numbers.
std::optional<DeviceNumber> numbersIn(const QByteArray &text) {
    const QList<QByteArray> parts = text.trimmed().split(':');
    bool majorOk = false;
    bool minorOk = false;
    const unsigned major = parts.value(0).toUInt(&majorOk);
    const unsigned minor = parts.value(1).toUInt(&minorOk);
    if (parts.size() != 2 || !majorOk || !minorOk)
        return std::nullopt;
    return DeviceNumber{major, minor};
}

// A process's controlling terminal as its stat line encodes it; (0, 0) for none. The command's
// name, in parentheses, may hold spaces and parentheses of its own.
DeviceNumber terminalOf(const QByteArray &stat, QByteArray *command) {
    const qsizetype open = stat.indexOf('(');
    const qsizetype close = stat.lastIndexOf(')');
    if (open < 0 || close < open)
        return {0, 0};
    *command = stat.mid(open + 1, close - open - 1);
    const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
    // state, ppid, pgrp, session, tty_nr
    const unsigned tty = fields.value(4).toUInt();
    return {(tty >> 8) & 0xfff, (tty & 0xff) | ((tty >> 12) & 0xfff00)};
}

bool within(const TtyDriver &driver, DeviceNumber device) {
    return driver.major == device.first && device.second >= driver.firstMinor &&
           device.second <= driver.lastMinor;
}

constexpr char MachineTerminal[] = "a terminal of the machine (a virtual console)";

} // namespace

std::vector<TtyDriver> ParseTtyDrivers(const QByteArray &text) {
    std::vector<TtyDriver> drivers;
    // "serial   /dev/ttyS   4 64-111 serial": name, node, major, minors, type.
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 5)
            continue;
        TtyDriver driver;
        bool majorOk = false;
        bool firstOk = false;
        bool lastOk = true;
        driver.major = fields[2].toUInt(&majorOk);
        const QList<QByteArray> minors = fields[3].split('-');
        driver.firstMinor = minors[0].toUInt(&firstOk);
        driver.lastMinor = minors.size() > 1 ? minors[1].toUInt(&lastOk) : driver.firstMinor;
        driver.type = QString::fromLatin1(fields[4]);
        if (majorOk && firstOk && lastOk)
            drivers.push_back(driver);
    }
    return drivers;
}

MachineTerminals ReadMachineTerminals() {
    MachineTerminals terminals;
#ifdef Q_OS_LINUX
    terminals.drivers = ParseTtyDrivers(contentsOf(QStringLiteral("/proc/tty/drivers")));
    const QString ttys = QStringLiteral("/sys/class/tty/");
    for (const QByteArray &name :
         contentsOf(ttys + QStringLiteral("console/active")).simplified().split(' ')) {
        if (const auto device = numbersIn(contentsOf(ttys + QString::fromLatin1(name) + "/dev")))
            terminals.consoles.insert(*device);
    }
    // The kernel's word for a built-in port it found no UART behind: type 0.
    for (const QString &name : QDir(ttys).entryList({QStringLiteral("ttyS*")}, QDir::AllEntries)) {
        if (contentsOf(ttys + name + QStringLiteral("/type")).trimmed() == "0") {
            if (const auto device = numbersIn(contentsOf(ttys + name + QStringLiteral("/dev"))))
                terminals.noUart.insert(*device);
        }
    }
    // Every process this user may see: a terminal that is one's controlling terminal is in use.
    const pid_t self = ::getpid();
    if (DIR *proc = ::opendir("/proc")) {
        while (const dirent *entry = ::readdir(proc)) {
            char *end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 0 || *end != '\0')
                continue;
            QByteArray command;
            const DeviceNumber tty =
                terminalOf(contentsOf(QStringLiteral("/proc/%1/stat").arg(pid)), &command);
            if (tty == DeviceNumber{0, 0})
                continue;
            if (pid == self)
                terminals.own = tty;
            else
                terminals.inUse.emplace(
                    tty, QStringLiteral("%1 (%2)").arg(pid).arg(QString::fromLocal8Bit(command)));
        }
        ::closedir(proc);
    }
#endif
    return terminals;
}

QString NoBoardPort(DeviceNumber device, const MachineTerminals &terminals) {
    if (terminals.consoles.count(device))
        return QStringLiteral("the system console");
    if (device == terminals.own)
        return QStringLiteral("this program's own terminal");
    if (const auto user = terminals.inUse.find(device); user != terminals.inUse.end())
        return QStringLiteral("the terminal of process %1").arg(user->second);
    if (terminals.noUart.count(device))
        return QStringLiteral("a built-in port with no UART behind it");
    if (terminals.drivers.empty()) {
        // Numbers every Linux gives alike: memory devices, virtual consoles, /dev/tty and its kin.
        if (device.first == 1)
            return QStringLiteral("no serial port");
        if (device.first == 4 && device.second < 64)
            return QLatin1String(MachineTerminal);
        if (device == DeviceNumber{5, 1})
            return QStringLiteral("the system console");
        if (device.first == 5)
            return QStringLiteral("no serial port");
        return QString();
    }
    for (const TtyDriver &driver : terminals.drivers) {
        if (!within(driver, device))
            continue;
        if (driver.type == QLatin1String("serial") || driver.type == QLatin1String("pty:slave"))
            return QString();
        if (driver.type == QLatin1String("console") ||
            driver.type == QLatin1String("system:vtmaster"))
            return QLatin1String(MachineTerminal);
        if (driver.type == QLatin1String("system:console"))
            return QStringLiteral("the system console");
        if (driver.type == QLatin1String("system:/dev/tty"))
            return QStringLiteral("this program's own terminal");
        return QStringLiteral("no serial port");
    }
    return QStringLiteral("no serial port");
}

QString NoBoardPortNow(quint64 device) {
#ifdef Q_OS_LINUX
    return NoBoardPort({major(dev_t(device)), minor(dev_t(device))}, ReadMachineTerminals());
#else
    Q_UNUSED(device)
    return {};
#endif
}

std::optional<DeviceNumber> CharacterDeviceOf(const QString &path) {
    struct stat node {};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
        return std::nullopt;
    return DeviceNumber{major(node.st_rdev), minor(node.st_rdev)};
}
