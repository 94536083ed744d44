#include "plant/publish_settings.h"

#include "base/bounded_file.h"
#include "base/state_folder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

namespace {

// A password, or the first line of one, is far shorter.
constexpr qint64 MaxSecretBytes = 4096;
// A certificate bundle of every authority a system trusts is some hundreds of kilobytes.
constexpr qint64 MaxAuthorityBytes = 16 * 1024 * 1024;
// Leaves room in a file name (255 bytes) for what the outbox puts around it.
constexpr int MaxFolderName = 200;

} // namespace

bool PublishSettings::operator==(const PublishSettings &other) const {
    return broker == other.broker && password == other.password &&
           passwordFile == other.passwordFile && caFile == other.caFile &&
           station == other.station && outbox == other.outbox;
}

QString OutboxFolder(const PublishSettings &settings) {
    if (!settings.outbox.isEmpty())
        return settings.outbox;
    // host_port_topic as a file name takes it, and a digest of the exact address, so that two
    // addresses never share a folder however alike their names are made.
    const QString address = QStringLiteral("%1:%2/%3")
                                .arg(settings.broker.host, QString::number(settings.broker.port),
                                     settings.broker.topic);
    QString name;
    for (const QChar c : address) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                           c == QLatin1Char('.') || c == QLatin1Char('-');
        name += plain ? c : QLatin1Char('_');
    }
    const QByteArray digest =
        QCryptographicHash::hash(address.toUtf8(), QCryptographicHash::Sha256).toHex().left(8);
    return StateFolder() + QStringLiteral("/outbox/") + name.left(MaxFolderName) +
           QLatin1Char('-') + QString::fromLatin1(digest);
}

bool ReadSecretFile(const QString &path, QString *secret, QString *why) {
    const BoundedFile file = ReadBoundedFile(path, MaxSecretBytes);
    if (!file.read()) {
        *why = QStringLiteral("cannot read the password file %1: %2")
                   .arg(path, file.exists ? file.problem : qt_error_string(ENOENT));
        return false;
    }
    QByteArray bytes = file.content;
    const qsizetype end = bytes.indexOf('\n');
    if (end >= 0)
        bytes.truncate(end);
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    if (bytes.isEmpty()) {
        *why = QStringLiteral("the password file %1 holds no password on its first line").arg(path);
        return false;
    }
    *secret = QString::fromUtf8(bytes);
    return true;
}

QString CheckPublishSettings(const PublishSettings &settings) {
    QString why;
    if (!settings.passwordFile.isEmpty()) {
        QString secret;
        if (!ReadSecretFile(settings.passwordFile, &secret, &why))
            return why;
    }
    if (!settings.caFile.isEmpty()) {
        const BoundedFile authorities = ReadBoundedFile(settings.caFile, MaxAuthorityBytes);
        if (!authorities.read())
            return QStringLiteral("cannot read the certificate %1: %2")
                .arg(settings.caFile,
                     authorities.exists ? authorities.problem : qt_error_string(ENOENT));
    }
    const QFileInfo outbox(OutboxFolder(settings));
    if (outbox.exists() && !outbox.isDir())
        return QStringLiteral("the outbox %1 is no folder").arg(outbox.filePath());
    return QString();
}
