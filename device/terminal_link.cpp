#include "device/terminal_link.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <unistd.h>

bool MakeTerminalLink(const QString &link, const QString &target, QString *error) {
    const QFileInfo info(link);
    if (info.exists() && !info.isSymLink()) {
        *error = QStringLiteral("%1 exists and is not a symbolic link; not replacing it").arg(link);
        return false;
    }
    // A link left by a device that was killed leads nowhere, or to this device's own terminal
    // (the system gives the number out again): replaced. One that leads to a terminal still
    // there is another device's, which is running: left alone.
    const QString before = info.symLinkTarget();
    if (info.isSymLink() && before != QFileInfo(target).absoluteFilePath() &&
        QFileInfo::exists(before)) {
        *error = QStringLiteral("%1 leads to %2, the terminal of a device still running; not "
                                "replacing it")
                     .arg(link, before);
        return false;
    }
    // Made aside and renamed over the old link, so the name never points nowhere.
    const QByteArray path = QFile::encodeName(link);
    const QByteArray aside = path + ".new-" + QByteArray::number(qint64(::getpid()));
    ::unlink(aside.constData());
    if (::symlink(QFile::encodeName(target).constData(), aside.constData()) != 0 ||
        ::rename(aside.constData(), path.constData()) != 0) {
        *error = QStringLiteral("cannot link %1 to %2: %3")
                     .arg(link, target, QString::fromLocal8Bit(std::strerror(errno)));
        ::unlink(aside.constData());
        return false;
    }
    return true;
}

void RemoveTerminalLink(const QString &link, const QString &target) {
    if (QFileInfo(link).symLinkTarget() == QFileInfo(target).absoluteFilePath())
        ::unlink(QFile::encodeName(link).constData());
}
