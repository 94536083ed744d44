#include "station/port_file_name.h"

#include "ports/com_numbering.h"

#include <QDir>

QString PortFileName(const QString &port) {
    QString name = port.contains(QLatin1Char('/')) ? QDir::cleanPath(port) : port;
    for (const QLatin1String folder : {QLatin1String(SerialByIdFolder), QLatin1String("/dev/")}) {
        if (name.startsWith(folder)) {
            name = name.mid(folder.size());
            break;
        }
    }
    while (name.startsWith(QLatin1Char('/')))
        name.remove(0, 1);
    for (QChar &c : name) {
        const bool safe = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                          (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                          (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                          c == QLatin1Char('.') || c == QLatin1Char('-') || c == QLatin1Char('_');
        if (!safe)
            c = QLatin1Char('_');
    }
    // Never "." or "..", never hidden.
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        name.prepend(QLatin1Char('_'));
    return name;
}

QString UploadFileFor(const QString &pattern, const QString &port) {
    QString file = pattern;
    return file.replace(QLatin1String(PortPlaceholder), PortFileName(port));
}
