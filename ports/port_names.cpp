#include "ports/port_names.h"

#include "ports/com_numbering.h"

#include <QFile>
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

QString PortNameProblem(const QString &text) {
    // Quoted short, its control characters written out, so the message itself stays one line.
    QString shown;
    for (const QChar c : text.left(40)) {
        if (c == QLatin1Char('\n'))
            shown += QLatin1String("\\n");
        else if (c == QLatin1Char('\t'))
            shown += QLatin1String("\\t");
        else if (c.category() == QChar::Other_Control)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    if (text.size() > 40)
        shown += QStringLiteral("...");
    shown = QLatin1Char('"') + shown + QLatin1Char('"');
    for (const QChar c : text) {
        if (c.category() != QChar::Other_Control)
            continue;
        const QString what = c == QLatin1Char('\n')   ? QStringLiteral("a line break")
                             : c == QLatin1Char('\t') ? QStringLiteral("a tab")
                                                      : QStringLiteral("a control character");
        return QStringLiteral("%1 holds %2, which no port's name has").arg(shown, what);
    }
    // The longest path the system opens (PATH_MAX less its terminating zero).
    constexpr qsizetype LongestPath = 4095;
    if (QFile::encodeName(text).size() > LongestPath)
        return QStringLiteral("%1 is %2 characters long, longer than any path the system opens")
            .arg(shown)
            .arg(text.size());
    return {};
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
        // A bare name is an adapter's, never a file's in the working folder: one the operator
        // meant there is reached by its path.
        else if (const QFileInfo here(name);
                 !name.contains(QLatin1Char('/')) && (here.exists() || here.isSymLink()))
            notes << QStringLiteral("%1 is no adapter's name in %2; for the file %1 in this "
                                    "folder, give ./%1")
                         .arg(name, QLatin1String(SerialByIdFolder).chopped(1));
    }
    notes << ports.problems();
    if (!ports.keepError().isEmpty())
        notes << ports.keepError();
    return notes;
}
