#include "plant/publish_settings.h"

#include "base/bounded_file.h"
#include "base/state_folder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace {

// A password, or the first line of one, is far shorter.
constexpr qint64 MaxSecretBytes = 4096;
// A certificate bundle of every authority a system trusts is some hundreds of kilobytes.
constexpr qint64 MaxAuthorityBytes = 16 * 1024 * 1024;
// Leaves room in a file name (255 bytes) for what the outbox puts around it.
constexpr int MaxFolderName = 200;

// Why the secret `path` (`what`: "the key") is refused: others than its owner may read it.
// Empty when they may not, or when it cannot be looked at (its reading says why).
QString exposure(const QString &path, const char *what) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 ||
        !(st.st_mode & (S_IRGRP | S_IROTH)))
        return QString();
    return QStringLiteral("%1 %2 may be read by others than its owner (mode %3): a secret is its "
                          "owner's alone (chmod 600 %2)")
        .arg(QLatin1String(what), path,
             QStringLiteral("%1").arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')));
}

} // namespace

bool PublishSettings::operator==(const PublishSettings &other) const {
    return broker == other.broker && password == other.password &&
           passwordFile == other.passwordFile && passwordCredential == other.passwordCredential &&
           caFile == other.caFile && certFile == other.certFile && keyFile == other.keyFile &&
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

bool ReadSecretFile(const QString &path, QString *secret, QString *why, bool *exposed) {
    if (const QString open = exposure(path, "the password file"); !open.isEmpty()) {
        *why = open;
        if (exposed)
            *exposed = true;
        return false;
    }
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

PublishCheck CheckPublishSettings(const PublishSettings &settings) {
    PublishCheck check;
    if (!settings.passwordFile.isEmpty()) {
        QString secret;
        if (!ReadSecretFile(settings.passwordFile, &secret, &check.why, &check.exposed))
            return check;
    }
    if (!settings.keyFile.isEmpty()) {
        check.why = exposure(settings.keyFile, "the key");
        if (!check.why.isEmpty()) {
            check.exposed = true;
            return check;
        }
    }
    const std::pair<const QString &, const char *> files[] = {
        {settings.caFile, "the certificate"},
        {settings.certFile, "the certificate"},
        {settings.keyFile, "the key"}};
    for (const auto &[file, what] : files) {
        if (file.isEmpty())
            continue;
        const BoundedFile read = ReadBoundedFile(file, MaxAuthorityBytes);
        if (!read.read()) {
            check.why = QStringLiteral("cannot read %1 %2: %3")
                            .arg(QLatin1String(what), file,
                                 read.exists ? read.problem : qt_error_string(ENOENT));
            return check;
        }
    }
    const QFileInfo outbox(OutboxFolder(settings));
    if (outbox.exists() && !outbox.isDir())
        check.why = QStringLiteral("the outbox %1 is no folder").arg(outbox.filePath());
    return check;
}

QString StatusTopic(const PublishSettings &settings) {
    const QString &topic = settings.broker.topic;
    const qsizetype last = topic.lastIndexOf(QLatin1Char('/'));
    return topic.left(last + 1) + QStringLiteral("status/") + settings.station;
}

QByteArray ClientId(const PublishSettings &settings) {
    const QString identity = QStringLiteral("%1\n%2:%3/%4")
                                 .arg(settings.station, settings.broker.host,
                                      QString::number(settings.broker.port), settings.broker.topic);
    return "torvane-" +
           QCryptographicHash::hash(identity.toUtf8(), QCryptographicHash::Sha256).toHex().left(15);
}
