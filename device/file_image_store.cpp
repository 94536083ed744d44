#include "device/file_image_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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

bool FileImageStore::save(ImageKind kind, const QByteArray &image) {
    if (image.size() != KindSize(kind))
        return false;
    QSaveFile file(pathOf(kind));
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size() || !file.commit()) {
        warn_(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
        return false;
    }
    return true;
}
