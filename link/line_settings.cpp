#include "link/serial_line.h"

#include <QStringList>

bool ParseLineSettings(const QString &text, LineSettings *out) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    bool ok = false;
    LineSettings settings;
    settings.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || settings.baud <= 0)
        return false;
    static const QString parities = QStringLiteral("NEOMS");
    const QString parity = parts[1].trimmed().toUpper();
    const int p = parity.size() == 1 ? int(parities.indexOf(parity)) : -1;
    if (p < 0)
        return false;
    settings.parity = LineSettings::Parity(p);
    settings.dataBits = parts[2].trimmed().toInt(&ok);
    if (!ok || settings.dataBits < 5 || settings.dataBits > 8)
        return false;
    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        settings.stopBits = LineSettings::StopBits::One;
    else if (stop == QLatin1String("1.5"))
        settings.stopBits = LineSettings::StopBits::OneAndHalf;
    else if (stop == QLatin1String("2"))
        settings.stopBits = LineSettings::StopBits::Two;
    else
        return false;
    if (out)
        *out = settings;
    return true;
}
