#pragma once

#include "ports/com_numbering.h"

#include <QString>

#include <vector>

// The device a port leads to now, and its steady names where the system knows them: the link in
// /dev/serial/by-id, the USB vendor, product and serial number.
struct PortIdentity {
    QString device;
    QString byIdName;
    bool hasUsbIds = false;
    quint16 vendorId = 0;
    quint16 productId = 0;
    QString serialNumber;
};

// `path` is what opens the port (a device, or a link to one); `present` what the system reports.
PortIdentity IdentifyPort(const QString &path, const std::vector<PresentPort> &present);
