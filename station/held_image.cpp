#include "station/held_image.h"

#include "ops/operation_errors.h"

HeldImage HoldImageFile(const QString &name, TransferMode mode) {
    HeldImage image;
    if (name.isEmpty()) {
        image.refusal = FileRefusal::NoDownloadFile;
        return image;
    }
    FileRefusal refusal{};
    try {
        image.file = OpenImageFile(name, &refusal);
    } catch (const FileError &e) {
        image.error = e.message();
        return image;
    }
    if (!image.file) {
        image.refusal = refusal;
        image.error = OpenRefusalReason(mode, refusal, name);
        return image;
    }
    if (!ShareImageFile(*image.file, name, &image.error)) {
        image.file.reset();
        return image;
    }
    const qint64 size = ImageSize(mode);
    if (image.file->size() != size) {
        image.refusal = FileRefusal::WrongLength;
        image.error = WrongLengthReason(mode, image.file->size());
        image.file.reset();
        return image;
    }
    QByteArray bytes = image.file->read(size);
    // Cut short since it was measured (a writer that takes no lock): nothing is sent.
    if (bytes.size() != size) {
        image.error =
            QStringLiteral("%1 could not be read whole: %2").arg(name, image.file->errorString());
        image.file.reset();
        return image;
    }
    image.bytes = std::make_shared<const QByteArray>(std::move(bytes));
    return image;
}
