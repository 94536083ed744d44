#include "link/adapter_latency.h"

#include "base/bounded_file.h"

#include <QFileInfo>

std::optional<std::chrono::milliseconds> AdapterLatencyTimer(const QString &device) {
#ifdef Q_OS_LINUX
    const QString node = QFileInfo(device).canonicalFilePath();
    if (!node.startsWith(QLatin1String("/dev/")))
        return std::nullopt;
    const QString name = QFileInfo(node).fileName();
    const BoundedFile timer =
        ReadBoundedFile(QStringLiteral("/sys/class/tty/%1/device/latency_timer").arg(name), 64);
    if (!timer.read())
        return std::nullopt;
    bool ok = false;
    const int ms = timer.content.trimmed().toInt(&ok);
    if (!ok || ms < 0)
        return std::nullopt;
    return std::chrono::milliseconds(ms);
#else
    Q_UNUSED(device);
    return std::nullopt;
#endif
}
