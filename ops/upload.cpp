#include "ops/upload.h"

#include "link/checksum_table.h"
#include "link/frames.h"
#include "link/line.h"
#include "link/tmscomm.h"
#include "ops/show_status.h"
#include "ops/transfer_state.h"

#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
// Polls for one block; the window handles no events meanwhile.
constexpr int BlockPolls = 1001;
} // namespace

bool ReceiveData(Line &line, TransferState &state, OperatorConsole &console, qint32 size) {
    TMSComm &comm = line.MSComm;
    bool result = false;
    // Bytes already waiting count as the start of block 0: the buffer is not emptied first.
    comm.setInputMode(TMSComm::comInputModeBinary);
    comm.setInputLen(BlockSize);
    const qint32 dataBlocks = size / BlockSize;
    const qint32 blocks = dataBlocks + ChecksumBlocks(dataBlocks);
    if (blocks == 0)
        return false;
    for (qint32 i = 0; i < blocks; ++i) {
        bool arrived = false;
        for (int poll = 0; poll < BlockPolls; ++poll) {
            if (comm.InBufferCount() >= BlockSize) {
                arrived = true;
                break;
            }
            comm.PollPause(BlockSize);
        }
        if (!arrived) {
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
        ShowPercentage(console, "Transfering", qint64(i) * 100 / (blocks - 1));
        console.Progress(blocks - 1, 1);
    }
    return result;
}

bool VerifyReceivedData(Line &line, TransferState &state, qint32 size) {
    const qint32 dataBlocks = size / BlockSize;
    for (qint32 k = 0; k < dataBlocks; ++k) {
        PutChecksum(state.CrcByteTable.data(), k, state.BlockCrcTable[size_t(k)]);
        state.ReceivedCrcTable[size_t(k)] = ChecksumAt(state.ReceivedCrcBytes.data(), k);
    }
    // The image is accepted only when the device's table matches ours byte for byte.
    const bool verdict = std::memcmp(state.ReceivedCrcBytes.data(), state.CrcByteTable.data(),
                                     size_t(4 * dataBlocks)) == 0;
    SendCommand(line, verdict ? CommandCode::RCVS : CommandCode::RCVF);
    return verdict;
}

namespace {

// The image in full, or nothing: false when any of it could not be written.
bool writeImage(QFileDevice &file, const TransferState &state, qint32 size) {
    return file.write(reinterpret_cast<const char *>(state.ImageBuffer.data()), size) == size &&
           file.flush();
}

// A file made for the upload takes the name the operator chose only while that name is free:
// a file that turned up there meanwhile is somebody else's and stays as it is.
bool saveAsNewFile(const QString &name, const TransferState &state, qint32 size) {
    const QFileInfo target(name);
    QTemporaryFile file(target.absolutePath() + QStringLiteral("/.") + target.fileName() +
                        QStringLiteral(".XXXXXX"));
    if (!file.open() || !writeImage(file, state, size))
        return false;
#ifdef Q_OS_UNIX
    if (::fsync(file.handle()) != 0)
        return false;
    // Made for a new file, it gets a new file's permissions rather than a temporary one's.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(file.handle(), 0666 & ~mask);
#endif
    if (!file.rename(name)) // refuses a name that is taken
        return false;
    file.setAutoRemove(false);
    return true;
}

} // namespace

bool SaveReceiveData(TransferState &state, OperatorConsole &console, qint32 size) {
    const QString name = console.uploadFileName();
    // Only a regular file is covered: a device or a pipe under that name is never replaced.
    const QFileInfo info(name);
    if (info.exists() && !info.isFile())
        return false;
    if (state.CreateNewFile) {
        if (!saveAsNewFile(name, state, size))
            return false;
        // The file is the upload's own now: the next upload to the same choice covers it.
        state.CreateNewFile = false;
        return true;
    }
    // Written beside the target and put in its place only when complete: an upload that
    // cannot be saved never costs the operator the file that was there.
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (!writeImage(file, state, size)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
