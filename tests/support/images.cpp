#include "support/images.h"

#include "link/checksum_table.h"

#include <QFile>

#include <vector>

QByteArray TestImage(qsizetype size, quint32 seed) {
    QByteArray image(size, Qt::Uninitialized);
    for (char &byte : image) {
        seed = seed * 1664525u + 1013904223u;
        byte = char(seed >> 24);
    }
    return image;
}

QByteArray CrcTableOf(const QByteArray &image) {
    std::vector<quint32> checksums;
    const auto *bytes = reinterpret_cast<const quint8 *>(image.constData());
    for (qsizetype at = 0; at + BlockSize <= image.size(); at += BlockSize)
        checksums.push_back(BlockCrc(bytes + at, BlockSize));
    return ChecksumTableOf(checksums.data(), int(checksums.size()));
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
