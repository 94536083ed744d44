#pragma once

#include "link/transfer_mode.h"
#include "ops/file_check.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>
#include <optional>

// A download file read once for a whole run of many devices: held open with a shared lock, so a
// writer that takes a lock waits until the run is over, and its bytes kept in memory, so a writer
// that takes none changes nothing that is sent.
struct HeldImage {
    std::unique_ptr<QFile> file; // open and locked for as long as this lives
    std::shared_ptr<const QByteArray> bytes;
    std::optional<FileRefusal> refusal; // the file check's reason, shown as the status line
    QString error; // why the file could not be read or locked, or what lies behind the refusal

    bool held() const { return bytes != nullptr; }
};

// Checks the file as the operation would (the same refusals), locks it and reads it whole.
HeldImage HoldImageFile(const QString &name, TransferMode mode);
