#include "ports/com_port_map.h"

const ComPortEntry &ComPortMap::entry(int number) const {
    if (number < 1 || number > ComPortCount)
        return none_;
    return entries_[size_t(number - 1)];
}

void ComPortMap::set(int number, ComPortEntry entry) {
    if (number >= 1 && number <= ComPortCount)
        entries_[size_t(number - 1)] = std::move(entry);
}

QString ComPortName(int number) {
    return QStringLiteral("COM.%1").arg(number, 2, 10, QLatin1Char('0'));
}

QString DescribeComPort(const ComPortEntry &entry) {
    if (entry.device.isEmpty())
        return entry.description.isEmpty() ? QStringLiteral("no device")
                                           : QStringLiteral("no device: %1").arg(entry.description);
    if (entry.description.isEmpty())
        return entry.device;
    return QStringLiteral("%1 (%2)").arg(entry.device, entry.description);
}

TMSComm::PortResolver ComPortResolver(ComPortSource source) {
    return [source = std::move(source)](int number) {
        const ComPortEntry entry = source().entry(number);
        return TMSComm::PortTarget{
            entry.device,
            QStringLiteral("%1 has %2").arg(ComPortName(number), DescribeComPort(entry)),
            entry.byHand};
    };
}
