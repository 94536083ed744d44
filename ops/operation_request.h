#pragma once

#include "link/transfer_mode.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

// What the operator asks for when pressing Start: the mode, the port, the file chosen for the
// mode's direction and, for an upload, whether it makes a new file or covers one.
struct OperationRequest {
    TransferMode mode = TransferMode::DownloadSoftware;
    int portIndex = 0; // the port list's index, 0 for "COM.01"; -1 for none
    QString portPath;  // a device to open instead of the port the index maps to
    QString file;      // empty when no file was chosen for this direction
    bool createNewFile = false;
    // A download's image, read once by a front end that sends it to several devices and holds
    // the file locked meanwhile: the file is then neither opened nor read again, only the size
    // is checked, and every device gets these very bytes. Unset, the file is read as it sends.
    // For an upload, the image the device's is read back against: the upload runs as any on the
    // wire, then compares what came with these bytes, `file` naming them, and saves nothing.
    std::shared_ptr<const QByteArray> image;
    // The port is open already, from the step before on the same board: the operation goes on
    // on it as it is rather than opening it again.
    bool portOpen = false;

    bool readBack() const { return IsUpload(mode) && image != nullptr; }
};

// The window lets the operator change the mode and the file while the handshake runs; the
// operation looks at them again where it always has (the handshake's mode, the direction, the
// file sent, the file saved). Without it the request stands throughout.
using RequestSource = std::function<OperationRequest()>;
