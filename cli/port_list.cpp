#include "cli/port_list.h"

#include "ports/com_numbering.h"

#include <algorithm>
#include <cstdio>

QString PortListText(const ComPortMap &ports) {
    struct Row {
        QString name;
        ComPortEntry entry;
    };
    std::vector<Row> rows;
    for (int n = 1; n <= ComPortCount; ++n)
        rows.push_back({ComPortName(n), ports.entry(n)});
    for (const ComPortEntry &entry : ports.unnumbered())
        rows.push_back({QStringLiteral("-"), entry});

    const int nameWidth = int(ComPortName(1).size());
    int deviceWidth = 1;
    for (const Row &row : rows)
        deviceWidth = std::max(deviceWidth, int(row.entry.device.size()));
    QString text;
    for (const Row &row : rows) {
        const QString device = row.entry.device.isEmpty() ? QStringLiteral("-") : row.entry.device;
        const QString line = QStringLiteral("%1  %2  %3")
                                 .arg(row.name, -nameWidth)
                                 .arg(device, -deviceWidth)
                                 .arg(row.entry.description);
        // No trailing blanks where there is no description.
        qsizetype end = line.size();
        while (end > 0 && line[end - 1] == QLatin1Char(' '))
            --end;
        text += line.left(end) + QLatin1Char('\n');
    }
    return text;
}

int PrintPortList(const ComPortMap &ports) {
    std::fputs(PortListText(ports).toLocal8Bit().constData(), stdout);
    for (const QString &problem : ports.problems())
        std::fprintf(stderr, "torvane-cli: %s\n", problem.toLocal8Bit().constData());
    if (!ports.keepError().isEmpty())
        std::fprintf(stderr, "torvane-cli: %s\n", ports.keepError().toLocal8Bit().constData());
    return 0;
}
