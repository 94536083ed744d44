#include "ports/port_names.h"

#include "ports/com_numbering.h"

#include <QFileInfo>
#include <QRegularExpression>

std::optional<PortChoice> ParsePortName(const QString &text) {
    static const QRegularExpression com(QStringLiteral("^COM\\.(\\d\\d)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = com.match(text);
    if (match.hasMatch()) {
        const int number = match.captured(1).toInt();
        if (number < 1 || number > ComPortCount)
            return std::nullopt;
        return PortChoice{number - 1, QString()};
    }
    // The device path replaces the mapping; the port list then stands on its first entry.
    if (text.contains(QLatin1Char('/')))
        return PortChoice{0, text};
    // The adapter's own name, whatever ttyUSB it was given today.
    if (!text.isEmpty() && !text.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return PortChoice{0, QLatin1String(SerialByIdFolder) + text};
    return std::nullopt;
}

bool IsPortPattern(const QString &text) {
    for (const QChar c : text) {
        if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('['))
            return true;
    }
    return false;
}

QStringList PortNotes(const QString &name, const PortChoice &choice, const ComPortMap &ports) {
    QStringList notes;
    if (choice.portPath.isEmpty()) {
        // A number without a device is said once, by the opening that fails on it.
        const ComPortEntry &entry = ports.entry(choice.portIndex + 1);
        if (!entry.device.isEmpty())
            notes << QStringLiteral("%1 is %2").arg(name, DescribeComPort(entry));
    } else if (choice.portPath.startsWith(QLatin1String(SerialByIdFolder))) {
        // An adapter not plugged in has no link: opening it says so.
        const QString device = QFileInfo(choice.portPath).canonicalFilePath();
        if (!device.isEmpty())
            notes << QStringLiteral("%1 is %2").arg(name, device);
    }
    notes << ports.problems();
    if (!ports.keepError().isEmpty())
        notes << ports.keepError();
    return notes;
}
