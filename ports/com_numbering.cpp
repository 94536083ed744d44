#include "ports/com_numbering.h"

#include "ports/port_names.h"

#include <QDir>
#include <QRegularExpression>

#include <algorithm>

namespace {

QString usbIdentity(quint16 vendor, quint16 product, const QString &serial) {
    return QStringLiteral("usb:%1:%2:%3")
        .arg(vendor, 4, 16, QLatin1Char('0'))
        .arg(product, 4, 16, QLatin1Char('0'))
        .arg(serial);
}

// "/dev/ttyUSB2" before "/dev/ttyUSB10": ports seen together are numbered in the order a
// person reads them.
bool naturalLess(const QString &a, const QString &b) {
    const auto split = [](const QString &path) {
        qsizetype digits = path.size();
        while (digits > 0 && path[digits - 1].isDigit())
            --digits;
        return std::pair{path.left(digits), path.mid(digits)};
    };
    const auto [stemA, numberA] = split(a);
    const auto [stemB, numberB] = split(b);
    if (stemA != stemB || numberA.isEmpty() || numberB.isEmpty())
        return a < b;
    if (numberA.size() != numberB.size())
        return numberA.size() < numberB.size();
    return numberA < numberB;
}

ComPortEntry entryOf(const PresentPort &port) {
    if (!port.notABoard.isEmpty())
        return {QString(), QStringLiteral("%1 (%2)").arg(port.path, port.notABoard)};
    return {port.path, port.description};
}

bool inRange(int n) {
    return n >= 1 && n <= ComPortCount;
}

// One numbering at work: what each step learns, for the steps after it.
class Numbering {
public:
    ComNumbering result;

    // TORVANE_COMn: COM n leads to its device, whatever else there is.
    void pointAt(const ComOverrides &overrides) {
        for (const auto &[n, device] : overrides) {
            if (inRange(n) && !device.isEmpty()) {
                const QString problem = PortNameProblem(device);
                if (problem.isEmpty())
                    result.map.set(n,
                                   {device, QStringLiteral("set by TORVANE_COM%1").arg(n), true});
                else
                    result.map.set(
                        n,
                        {QString(), QStringLiteral("TORVANE_COM%1 %2").arg(n).arg(problem), true});
                overridden_.insert(n);
            }
        }
        taken_ = overridden_;
    }

    // A present built-in /dev/ttyS<n> is COM n+1; the other ports are adapters, in the order a
    // person reads them.
    void numberBuiltIns(const std::vector<PresentPort> &present) {
        std::vector<const PresentPort *> ports;
        for (const PresentPort &port : present)
            ports.push_back(&port);
        std::sort(ports.begin(), ports.end(), [](const PresentPort *a, const PresentPort *b) {
            return naturalLess(a->path, b->path);
        });
        for (const PresentPort *port : ports) {
            const int index = port->builtInUart ? BuiltInUartIndex(port->path) : -1;
            if (index < 0) {
                adapters_.push_back(port);
                continue;
            }
            const int n = index + 1;
            ownNumber_[CanonicalIdentity(port->path)] = n;
            if (inRange(n)) {
                uartNumbers_.insert(n);
                taken_.insert(n);
            }
            if (inRange(n) && !overridden(n))
                result.map.set(n, entryOf(*port));
            else
                result.map.addUnnumbered(entryOf(*port));
        }
    }

    // What the store keeps: one number per identity, the lowest when a hand has written more.
    void readKept(const ComNumbers &kept) {
        for (const auto &[n, written] : kept) {
            const QString identity = CanonicalIdentity(written);
            if (!inRange(n) || identity.isEmpty() || numberOf_.count(identity))
                continue;
            if (const auto own = ownNumber_.find(identity);
                own != ownNumber_.end() && own->second != n) {
                result.conflicts[n] =
                    QStringLiteral("%1 is a built-in port, which keeps its own number, %2")
                        .arg(identity, ComPortName(own->second));
                continue;
            }
            if (uartNumbers_.count(n)) {
                displaced_.emplace(identity, n);
                continue;
            }
            numberOf_[identity] = n;
            taken_.insert(n);
        }
    }

    // An identity two present ports share (adapters of one model with one serial number) tells
    // them apart from nothing: such ports go by their next name.
    void findSharers() {
        for (const PresentPort *port : adapters_) {
            for (const QString &identity : PortIdentities(*port))
                ++sharers_[identity];
        }
    }

    // Steadiest names first, so that a device path kept by hand never takes the number of a port
    // whose own link is kept.
    void matchKept() {
        for (const bool byPath : {false, true}) {
            for (const PresentPort *port : adapters_) {
                if (numbered_.count(port))
                    continue;
                for (const QString &identity : ownIdentities(port)) {
                    if ((identity == port->path) != byPath)
                        continue;
                    const auto found = numberOf_.find(identity);
                    if (found == numberOf_.end() || holder_.count(found->second))
                        continue;
                    holder_[found->second] = port;
                    numbered_[port] = found->second;
                    break;
                }
            }
        }
    }

    // Ports seen for the first time: the lowest free number, kept under their steadiest name.
    void numberNew() {
        for (const PresentPort *port : adapters_) {
            if (numbered_.count(port))
                continue;
            int n = 1;
            while (n <= ComPortCount && taken_.count(n))
                ++n;
            const QStringList own = ownIdentities(port);
            if (n > ComPortCount || own.isEmpty() || !port->notABoard.isEmpty())
                continue;
            taken_.insert(n);
            holder_[n] = port;
            numbered_[port] = n;
            result.added[n] = own.first();
            for (const QString &identity : own) {
                const auto moved = displaced_.find(identity);
                if (moved != displaced_.end())
                    result.dropped.insert(moved->second);
            }
        }
    }

    void fillMap() {
        for (const PresentPort *port : adapters_) {
            const auto found = numbered_.find(port);
            if (found != numbered_.end() && !overridden(found->second))
                result.map.set(found->second, entryOf(*port));
            else
                result.map.addUnnumbered(entryOf(*port));
        }
        for (const auto &[identity, n] : numberOf_) {
            if (!holder_.count(n) && !overridden(n))
                result.map.set(
                    n, {QString(), QStringLiteral("kept for %1, not present").arg(identity)});
        }
    }

private:
    bool overridden(int n) const { return overridden_.count(n) > 0; }
    QStringList ownIdentities(const PresentPort *port) {
        QStringList own;
        for (const QString &identity : PortIdentities(*port)) {
            if (sharers_[identity] == 1)
                own << identity;
        }
        return own;
    }

    std::set<int> overridden_;
    std::set<int> taken_; // numbers no new port may take now
    std::set<int> uartNumbers_;
    std::map<QString, int> ownNumber_; // of each present built-in port, by its identity
    std::vector<const PresentPort *> adapters_;
    std::map<QString, int> numberOf_;  // what the store keeps, by identity
    std::map<QString, int> displaced_; // kept on a present built-in's number
    std::map<QString, int> sharers_;
    std::map<int, const PresentPort *> holder_;
    std::map<const PresentPort *, int> numbered_;
};

} // namespace

QStringList PortIdentities(const PresentPort &port) {
    QStringList identities;
    if (!port.byIdName.isEmpty())
        identities << QLatin1String(SerialByIdFolder) + port.byIdName;
    if (port.hasUsbIds && !port.serialNumber.isEmpty())
        identities << usbIdentity(port.vendorId, port.productId, port.serialNumber);
    if (!port.path.isEmpty())
        identities << port.path;
    return identities;
}

QString CanonicalIdentity(const QString &written) {
    const QString text = written.trimmed();
    if (text.isEmpty())
        return {};
    if (text.startsWith(QLatin1String("usb:"), Qt::CaseInsensitive)) {
        bool vendorOk = false;
        bool productOk = false;
        const uint vendor = text.section(QLatin1Char(':'), 1, 1).toUInt(&vendorOk, 16);
        const uint product = text.section(QLatin1Char(':'), 2, 2).toUInt(&productOk, 16);
        const QString serial = text.section(QLatin1Char(':'), 3);
        if (!vendorOk || !productOk || vendor > 0xffff || product > 0xffff || serial.isEmpty())
            return {};
        return usbIdentity(quint16(vendor), quint16(product), serial);
    }
    if (text.startsWith(QLatin1Char('/')))
        return QDir::cleanPath(text);
    // A name without a folder is a link's name in /dev/serial/by-id.
    if (text.contains(QLatin1Char('/')))
        return {};
    return QLatin1String(SerialByIdFolder) + text;
}

int BuiltInUartIndex(const QString &path) {
    const QRegularExpression uart(QStringLiteral("^/dev/ttyS(\\d{1,4})$"));
    const QRegularExpressionMatch match = uart.match(path);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

ComNumbering AssignComNumbers(const std::vector<PresentPort> &present, const ComNumbers &kept,
                              const ComOverrides &overrides) {
    Numbering numbering;
    numbering.pointAt(overrides);
    numbering.numberBuiltIns(present);
    numbering.readKept(kept);
    numbering.findSharers();
    numbering.matchKept();
    numbering.numberNew();
    numbering.fillMap();
    return numbering.result;
}

ComPortMap PointedComPorts(const ComOverrides &devices) {
    return AssignComNumbers({}, {}, devices).map;
}

ComPortMap SystemNumberedComPorts(const std::vector<PresentPort> &present,
                                  const ComOverrides &overrides) {
    ComPortMap map = PointedComPorts(overrides);
    std::set<int> pointed;
    for (int n = 1; n <= ComPortCount; ++n) {
        if (map.devicePath(n).isEmpty())
            map.set(n, {QStringLiteral("COM%1").arg(n), QStringLiteral("not present")});
        else
            pointed.insert(n);
    }
    const QRegularExpression com(QStringLiteral("^COM(\\d{1,3})$"),
                                 QRegularExpression::CaseInsensitiveOption);
    for (const PresentPort &port : present) {
        const QRegularExpressionMatch match = com.match(port.path);
        const int n = match.hasMatch() ? match.captured(1).toInt() : 0;
        if (n >= 1 && n <= ComPortCount && !pointed.count(n))
            map.set(n, entryOf(port));
        else
            map.addUnnumbered(entryOf(port));
    }
    return map;
}
