#include "plant/publish_settings.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A password, or the first line of one, is far shorter.
constexpr qint64 MaxSecretBytes = 4096;
// A certificate bundle of every authority a system trusts is some hundreds of kilobytes.
constexpr qint64 MaxAuthorityBytes = 16 * 1024 * 1024;
// Leaves room in a file name (255 bytes) for what the outbox puts around it.
constexpr int MaxFolderName = 200;

// Opens a regular file for reading without waiting on it; -1 with why.
int openRegular(const QString &path, qint64 bound, const QString &role, QString *why) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *why = QStringLiteral("cannot read the %1 %2: %3").arg(role, path, qt_error_string(errno));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > bound) {
        ::close(fd);
        *why = S_ISREG(st.st_mode) ? QStringLiteral("the %1 %2 is larger than %3 bytes")
                                         .arg(role, path, QString::number(bound))
                                   : QStringLiteral("the %1 %2 is no regular file").arg(role, path);
        return -1;
    }
    return fd;
}

QString stateHome() {
    const QString set = qEnvironmentVariable("XDG_STATE_HOME");
    // The base directory specification ignores a relative path.
    if (!set.isEmpty() && QDir::isAbsolutePath(set))
        return set;
    return QDir::homePath() + QStringLiteral("/.local/state");
}

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
    return stateHome() + QStringLiteral("/torvane/outbox/") + name.left(MaxFolderName) +
           QLatin1Char('-') + QString::fromLatin1(digest);
}

bool ReadSecretFile(const QString &path, QString *secret, QString *why) {
    const int fd = openRegular(path, MaxSecretBytes, QStringLiteral("password file"), why);
    if (fd < 0)
        return false;
    QByteArray bytes(int(MaxSecretBytes), Qt::Uninitialized);
    qint64 got = 0;
    while (got < MaxSecretBytes) {
        const ssize_t n = ::read(fd, bytes.data() + got, size_t(MaxSecretBytes - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    ::close(fd);
    bytes.truncate(int(got));
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
        const int fd =
            openRegular(settings.caFile, MaxAuthorityBytes, QStringLiteral("certificate"), &why);
        if (fd < 0)
            return why;
        ::close(fd);
    }
    const QFileInfo outbox(OutboxFolder(settings));
    if (outbox.exists() && !outbox.isDir())
        return QStringLiteral("the outbox %1 is no folder").arg(outbox.filePath());
    return QString();
}
