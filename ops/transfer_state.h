#pragma once

#include "link/checksum.h"

#include <QFile>

#include <array>
#include <memory>
#include <vector>

// The buffers and flags that live as long as the program: zero at start, overwritten by each
// transfer, never cleared in between.
struct TransferState {
    static constexpr int TableBlocks = 8001; // room for the largest image's 7,680 blocks
    static constexpr int TableBytes = 4 * TableBlocks;

    Block BlockBuffer{};
    std::vector<quint32> BlockCrcTable = std::vector<quint32>(TableBlocks);
    std::vector<quint8> CrcByteTable = std::vector<quint8>(TableBytes);
    std::vector<quint8> ImageBuffer = std::vector<quint8>(size_t(TableBlocks) * BlockSize);
    std::vector<quint32> ReceivedCrcTable = std::vector<quint32>(TableBlocks);
    std::vector<quint8> ReceivedCrcBytes = std::vector<quint8>(TableBytes);

    // Set by the file button: the upload creates its file (true) or covers an existing one.
    bool CreateNewFile = false;
    // Set by Reset and a mode change; read by the operation after a failed handshake.
    bool OperationAborted = false;
    // True while Start runs an operation: a second Start is ignored.
    bool OperationRunning = false;
    // The image file while a phase has it open; Reset closes it.
    std::unique_ptr<QFile> ImageFileHandle;
};
