#include "bench/random_image.h"

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>

bool WriteRandomImage(const QString &path, int size, quint32 seed) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return file.write(bytes) == size;
}
