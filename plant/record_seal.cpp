#include "plant/record_seal.h"

#include "base/bounded_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qsizetype KeyBytes = 32;
constexpr qsizetype SealDigits = 32;

} // namespace

bool RecordSeal::open(QString *why) {
    if (QFileInfo::exists(keyFile_))
        return read(why);
    return make(why);
}

bool RecordSeal::read(QString *why) {
    const BoundedFile file = ReadBoundedFile(keyFile_, KeyBytes, false);
    key_ = file.content;
    const QString problem = file.exists ? file.problem : QStringLiteral("it is not there");
    if (!file.read() || key_.size() != KeyBytes) {
        *why = QStringLiteral("the outbox's key %1 is damaged (%2): remove it, and the records "
                              "it sealed are kept aside when they come to be sent")
                   .arg(keyFile_, problem.isEmpty() ? QStringLiteral("its size") : problem);
        key_.clear();
        return false;
    }
    return true;
}

bool RecordSeal::make(QString *why) {
    const QString folder = QFileInfo(keyFile_).absolutePath();
    const QByteArray part =
        QFile::encodeName(keyFile_ + QStringLiteral(".%1.part").arg(qint64(::getpid())));
    QByteArray key(KeyBytes, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(key.data()),
                                         reinterpret_cast<quint32 *>(key.data() + KeyBytes));
    int error = 0;
    if (!QDir().mkpath(folder)) {
        error = errno ? errno : EACCES;
    } else if (const int fd = ::open(part.constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
               fd < 0) {
        error = errno;
    } else {
        if (::write(fd, key.constData(), size_t(KeyBytes)) != KeyBytes || ::fdatasync(fd) != 0)
            error = errno ? errno : EIO;
        ::close(fd);
        // Named into place whole, unless another station's key is there already.
        if (!error && ::link(part.constData(), QFile::encodeName(keyFile_).constData()) != 0 &&
            errno != EEXIST)
            error = errno;
        ::unlink(part.constData());
        // The key must outlast the records it seals: its name on the disk too.
        if (const int dir =
                ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    if (error) {
        *why = QStringLiteral("cannot make the outbox's key %1: %2")
                   .arg(keyFile_, qt_error_string(error));
        return false;
    }
    return read(why);
}

QByteArray RecordSeal::seal(const QByteArray &stem, const QByteArray &payload) const {
    QMessageAuthenticationCode code(QCryptographicHash::Sha256, key_);
    code.addData(stem);
    code.addData("\n", 1);
    code.addData(payload);
    return code.result().toHex().left(SealDigits);
}

bool RecordSeal::matches(const QByteArray &stem, const QByteArray &payload,
                         const QByteArray &seal) const {
    const QByteArray expected = this->seal(stem, payload);
    if (key_.isEmpty() || seal.size() != expected.size())
        return false;
    // As long whatever it holds: the time taken tells nothing of the key.
    char differ = 0;
    for (qsizetype i = 0; i < expected.size(); ++i)
        differ = char(differ | (expected[i] ^ seal[i]));
    return differ == 0;
}
