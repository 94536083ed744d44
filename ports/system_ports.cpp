#include "ports/system_ports.h"

#include "ports/machine_terminals.h"
#include "ports/port_store.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStandardPaths>

#include <memory>

QHash<QString, QString> LinksByDevice(const QString &folder) {
    QHash<QString, QString> links;
    // Device files count as system entries; a broken link, its adapter gone, resolves to nothing.
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &link : entries) {
        const QString device = link.canonicalFilePath();
        if (link.isSymLink() && !device.isEmpty())
            links.insert(device, link.fileName());
    }
    return links;
}

std::vector<PresentPort> ScanPresentPorts() {
    const QHash<QString, QString> byId = LinksByDevice(QLatin1String(SerialByIdFolder));
    const MachineTerminals terminals = ReadMachineTerminals();
    std::vector<PresentPort> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        PresentPort port;
#ifdef Q_OS_WIN
        port.path = info.portName();
#else
        port.path = info.systemLocation();
        if (const auto number = CharacterDeviceOf(port.path)) {
            if (terminals.noUart.count(*number))
                continue;
            port.notABoard = NoBoardPort(*number, terminals);
        }
#endif
        port.byIdName = byId.value(QFileInfo(port.path).canonicalFilePath());
        port.hasUsbIds = info.hasVendorIdentifier() && info.hasProductIdentifier();
        port.vendorId = info.vendorIdentifier();
        port.productId = info.productIdentifier();
        port.serialNumber = info.serialNumber();
        port.description = info.description().isEmpty() ? info.manufacturer() : info.description();
        port.builtInUart = BuiltInUartIndex(port.path) >= 0;
        ports.push_back(port);
    }
    return ports;
}

QString UserPortsFile() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/torvane/ports.ini");
}

ComPortSource SystemComPorts(ComOverrides overrides, const QString &portsFile) {
#ifdef Q_OS_WIN
    Q_UNUSED(portsFile)
    return [overrides] { return SystemNumberedComPorts(ScanPresentPorts(), overrides); };
#else
    auto store = std::make_shared<PortStore>(portsFile);
    return [overrides, store] {
        ComPortMap map = store->assign(ScanPresentPorts(), overrides);
        // The device pointed at is opened as asked; but it is said what it is.
        const MachineTerminals terminals = ReadMachineTerminals();
        for (const auto &[n, device] : overrides) {
            const ComPortEntry entry = map.entry(n);
            const auto number = CharacterDeviceOf(device);
            const QString why = number ? NoBoardPort(*number, terminals) : QString();
            if (entry.device == device && !why.isEmpty())
                map.set(n, {device, QStringLiteral("%1, %2").arg(entry.description, why), true});
        }
        return map;
    };
#endif
}
