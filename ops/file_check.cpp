#include "ops/file_check.h"

#include "ops/operation_errors.h"
#include "ops/operator_console.h"
#include "ops/transfer_mode.h"

#include <QFile>
#include <QFileInfo>

bool CheckImageFile(OperatorConsole &console, int mode) {
    if (IsUpload(mode)) {
        // The upload file is only created when the image has arrived and been verified.
        if (console.fileNameField().isEmpty()) {
            console.showStatus(QStringLiteral("Can not open Upload file!"));
            return false;
        }
        return true;
    }
    if (console.fileNameField().isEmpty()) {
        console.showStatus(QStringLiteral("Can not open download file!"));
        return false;
    }
    const QString name = console.downloadFileName();
    const QFileInfo info(name);
    if (!info.exists() || info.isDir()) {
        console.showStatus(
            QStringLiteral("Find an error, when opening this file, maybe it inexistent!"));
        return false;
    }
    // The file is only read, so a read-only image is as good as any other.
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("Cannot open %1: %2").arg(name, file.errorString()));
    // A 65,536-byte loader is a wrong length like any other: it is refused here.
    if (file.size() != ImageSize(mode)) {
        console.showStatus(QStringLiteral("File wrong!"));
        return false;
    }
    return true;
}
