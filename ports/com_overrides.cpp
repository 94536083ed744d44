#include "ports/com_overrides.h"

#include "ports/com_port_map.h"

#include <QProcessEnvironment>

ComOverrides ComOverridesFrom(const QProcessEnvironment &environment) {
    ComOverrides overrides;
    for (int number = 1; number <= ComPortCount; ++number) {
        const QString device = environment.value(QStringLiteral("TORVANE_COM%1").arg(number));
        if (!device.isEmpty())
            overrides[number] = device;
    }
    return overrides;
}
