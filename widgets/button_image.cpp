#include "widgets/button_image.h"

#include <QImage>
#include <QPixmap>

QIcon ButtonImage(const QString &resource) {
    QImage image(resource);
    if (image.isNull())
        return {};
    image = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = image.pixel(0, image.height() - 1);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (line[x] == key)
                line[x] = qRgba(0, 0, 0, 0);
    }
    return QIcon(QPixmap::fromImage(image));
}
