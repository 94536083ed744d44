#include "support/images.h"

#include "link/checksum.h"

#include <QFile>

QByteArray TestImage(qsizetype size, quint32 seed) {
    QByteArray image(size, Qt::Uninitialized);
    for (char &byte : image) {
        seed = seed * 1664525u + 1013904223u;
        byte = char(seed >> 24);
    }
    return image;
}

QByteArray CrcTableOf(const QByteArray &image) {
    QByteArray table;
    const auto *bytes = reinterpret_cast<const quint8 *>(image.constData());
    for (qsizetype at = 0; at + BlockSize <= image.size(); at += BlockSize) {
        const auto crc = CrcToBytes(BlockCrc(bytes + at, BlockSize));
        table.append(reinterpret_cast<const char *>(crc.data()), 4);
    }
    return table;
}

QByteArray ReadFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WriteFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}
