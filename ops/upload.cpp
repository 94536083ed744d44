#include "ops/upload.h"

#include "link/checksum_table.h"
#include "link/frames.h"
#include "link/line.h"
#include "link/reply_copies.h"
#include "link/tmscomm.h"
#include "ops/failure_cause.h"
#include "ops/image_save.h"
#include "ops/show_status.h"
#include "ops/transfer_state.h"

#include <algorithm>
#include <cstring>

namespace {
// Polls for one block; the window handles no events meanwhile.
constexpr int BlockPolls = 1001;
} // namespace

bool ReceiveData(Line &line, TransferState &state, ProgressSink &sink, qint32 size, Failure *why,
                 ReplyCopies *copies) {
    TMSComm &comm = line.MSComm;
    bool result = false;
    // Bytes already waiting count as the start of block 0: the buffer is not emptied first.
    comm.setInputMode(TMSComm::comInputModeBinary);
    comm.setInputLen(BlockSize);
    const qint32 dataBlocks = size / BlockSize;
    const qint32 blocks = dataBlocks + ChecksumBlocks(dataBlocks);
    if (blocks == 0)
        return false;
    sink.phaseStarted(Phase::Upload, blocks);
    for (qint32 i = 0; i < blocks; ++i) {
        // The window handles no events while a block comes in, only after it. A copy of the
        // connect answer is taken for one only when a whole block follows it: the checksums
        // judge the block either way, so a wrong guess fails the upload, never saves it wrong.
        if (i == 0 && copies)
            copies->passOver(line, BlockSize, BlockPolls, false, false);
        if (!WaitForBytes(line, BlockSize, BlockPolls, false)) {
            if (why)
                *why = BlockMissing(i < dataBlocks ? DataBlockName(i)
                                                   : ChecksumBlockName(i - dataBlocks),
                                    BlockPolls, comm.PortOpen() ? comm.InBufferCount() : 0);
            SendCommand(line, CommandCode::RRFD);
            return false;
        }
        result = true;
        line.LastInput = comm.Input();
        const auto *bytes = reinterpret_cast<const quint8 *>(line.LastInput.constData());
        if (i < dataBlocks) {
            quint8 *const block = &state.ImageBuffer[size_t(i) * BlockSize];
            std::memcpy(block, bytes, BlockSize);
            state.BlockCrcTable[size_t(i)] = BlockCrc(block, BlockSize);
        } else {
            std::memcpy(&state.ReceivedCrcBytes[size_t(i - dataBlocks) * BlockSize], bytes,
                        BlockSize);
        }
        // The acknowledgement also drops anything the device sent beyond the block.
        SendCommand(line, CommandCode::RRSS);
        ShowBlockDone(
            sink, {Phase::Upload, i + 1, blocks, int(qint64(i) * 100 / (blocks - 1)), blocks - 1});
    }
    return result;
}

bool VerifyReceivedData(Line &line, TransferState &state, qint32 size, Failure *why) {
    const qint32 dataBlocks = size / BlockSize;
    for (qint32 k = 0; k < dataBlocks; ++k) {
        PutChecksum(state.CrcByteTable.data(), k, state.BlockCrcTable[size_t(k)]);
        state.ReceivedCrcTable[size_t(k)] = ChecksumAt(state.ReceivedCrcBytes.data(), k);
    }
    // The image is accepted only when the device's table matches ours byte for byte.
    const auto *ours = state.CrcByteTable.data();
    const auto *theirs = state.ReceivedCrcBytes.data();
    const size_t length = size_t(4 * dataBlocks);
    const bool verdict = std::memcmp(theirs, ours, length) == 0;
    SendCommand(line, verdict ? CommandCode::RCVS : CommandCode::RCVF);
    if (!verdict && why)
        *why = ChecksumsDiffer(qint32(std::mismatch(ours, ours + length, theirs).first - ours) / 4);
    return verdict;
}

bool SaveReceiveData(const TransferState &state, qint32 size, const QString &name, bool createNew,
                     QString *why) {
    return SaveImageFile(name, reinterpret_cast<const char *>(state.ImageBuffer.data()), size,
                         createNew, why);
}
