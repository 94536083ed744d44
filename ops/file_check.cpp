#include "ops/file_check.h"

#include "link/transfer_mode.h"
#include "ops/operation_errors.h"
#include "ops/operator_console.h"

#include <QFile>
#include <QFileInfo>

namespace {
void refuse(OperatorConsole &console, FileRefusal reason) {
    console.showStatus(QLatin1String(FileRefusalTexts[reason]));
}
} // namespace

bool CheckImageFile(OperatorConsole &console, int mode) {
    if (IsUpload(mode)) {
        // The upload file is only created when the image has arrived and been verified.
        if (console.fileNameField().isEmpty()) {
            refuse(console, NoUploadFile);
            return false;
        }
        return true;
    }
    if (console.fileNameField().isEmpty()) {
        refuse(console, NoDownloadFile);
        return false;
    }
    const QString name = console.downloadFileName();
    const QFileInfo info(name);
    if (!info.exists() || info.isDir()) {
        refuse(console, MissingDownloadFile);
        return false;
    }
    // The file is only read, so a read-only image is as good as any other.
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("Cannot open %1: %2").arg(name, file.errorString()));
    // A 65,536-byte loader is a wrong length like any other: it is refused here.
    if (file.size() != ImageSize(mode)) {
        refuse(console, WrongLength);
        return false;
    }
    return true;
}
