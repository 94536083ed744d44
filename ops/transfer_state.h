#pragma once

#include "link/checksum.h"
#include "ops/zeroed_array.h"

#include <QFile>

#include <array>
#include <memory>

// The buffers and flags that live as long as the program: zero at start, overwritten by each
// transfer, never cleared in between.
struct TransferState {
    static constexpr int TableBlocks = 8001; // room for the largest image's 7,680 blocks
    static constexpr int TableBytes = 4 * TableBlocks;

    Block BlockBuffer{};
    ZeroedArray<quint32> BlockCrcTable{TableBlocks};
    ZeroedArray<quint8> CrcByteTable{TableBytes};
    ZeroedArray<quint8> ImageBuffer{size_t(TableBlocks) * BlockSize};
    ZeroedArray<quint32> ReceivedCrcTable{TableBlocks};
    ZeroedArray<quint8> ReceivedCrcBytes{TableBytes};

    // The window's choice by the file button, copied into each request: the upload creates its
    // file (true) or covers an existing one.
    bool CreateNewFile = false;
    // Set by Reset and a mode change; read by the operation after a failed handshake.
    bool OperationAborted = false;
    // True while Start runs an operation: a second Start is ignored.
    bool OperationRunning = false;
    // The image file while a phase has it open; Reset closes it.
    std::unique_ptr<QFile> ImageFileHandle;
};
