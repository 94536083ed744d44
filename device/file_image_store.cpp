#include "device/file_image_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

FileImageStore::FileImageStore(const QString &directory, Warn warn)
    : directory_(directory), warn_(std::move(warn)) {}

QString FileImageStore::pathOf(ImageKind kind) const {
    return QDir(directory_).filePath(QStringLiteral("%1.bin").arg(QLatin1String(KindName(kind))));
}

QStringList FileImageStore::prepare() {
    QStringList problems;
    if (!QDir().mkpath(directory_)) {
        problems << QStringLiteral("cannot create the image directory %1").arg(directory_);
        return problems;
    }
    for (int k = 0; k < ImageKindCount; ++k) {
        const ImageKind kind = ImageKind(k);
        const QFileInfo info(pathOf(kind));
        if (!info.exists())
            continue;
        if (!info.isFile())
            problems << QStringLiteral("%1 is not a file").arg(info.filePath());
        else if (info.size() != KindSize(kind))
            problems << QStringLiteral("%1 has %2 bytes; a %3 image has %4")
                            .arg(info.filePath())
                            .arg(info.size())
                            .arg(QLatin1String(KindName(kind)))
                            .arg(KindSize(kind));
    }
    return problems;
}

std::optional<QByteArray> FileImageStore::load(ImageKind kind) {
    QFile file(pathOf(kind));
    if (!file.exists())
        return std::nullopt;
    if (!file.open(QIODevice::ReadOnly)) {
        warn_(QStringLiteral("cannot read %1: %2; sending the pattern instead")
                  .arg(file.fileName(), file.errorString()));
        return std::nullopt;
    }
    const QByteArray image = file.read(qint64(KindSize(kind)) + 1);
    if (image.size() != KindSize(kind)) {
        warn_(QStringLiteral("%1 has %2 bytes, not the %3 of a %4 image; sending the pattern "
                             "instead")
                  .arg(file.fileName())
                  .arg(file.size())
                  .arg(KindSize(kind))
                  .arg(QLatin1String(KindName(kind))));
        return std::nullopt;
    }
    return image;
}

// Written aside under a name of its own, pushed to the disk, then renamed over the old file, so
// the file is the old image or the new one, never a part. Every step's failure is reported with
// the system's reason (a full disk says "No space left on device").
bool FileImageStore::save(ImageKind kind, const QByteArray &image) {
    if (image.size() != KindSize(kind))
        return false;
    const QString path = pathOf(kind);
    const QByteArray target = QFile::encodeName(path);
    QByteArray aside;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        aside = target + ".new-" + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        fd = ::open(aside.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    const bool created = fd >= 0;
    const auto fail = [&](const char *step) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        if (created)
            ::unlink(aside.constData());
        warn_(QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(step), path, reason));
        return false;
    };
    if (!created)
        return fail("write");
    for (qsizetype done = 0; done < image.size();) {
        const ssize_t n = ::write(fd, image.constData() + done, size_t(image.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return fail("write");
        }
        done += n;
    }
    if (::fsync(fd) != 0)
        return fail("write");
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return fail("write");
    if (::rename(aside.constData(), target.constData()) != 0)
        return fail("replace");
    return true;
}
