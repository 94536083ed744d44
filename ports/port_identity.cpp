#include "ports/port_identity.h"

#include "ports/system_ports.h"

#include <QFileInfo>

PortIdentity IdentifyPort(const QString &path, const std::vector<PresentPort> &present) {
    PortIdentity identity;
    const QString device = QFileInfo(path).canonicalFilePath();
    identity.device = device.isEmpty() ? path : device;
    if (device.isEmpty())
        return identity;
    identity.byIdName = LinksByDevice(QLatin1String(SerialByIdFolder)).value(device);
    for (const PresentPort &port : present) {
        if (QFileInfo(port.path).canonicalFilePath() != device)
            continue;
        if (identity.byIdName.isEmpty())
            identity.byIdName = port.byIdName;
        identity.hasUsbIds = port.hasUsbIds;
        identity.vendorId = port.vendorId;
        identity.productId = port.productId;
        identity.serialNumber = port.serialNumber;
        break;
    }
    return identity;
}
