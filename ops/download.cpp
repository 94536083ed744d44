#include "ops/download.h"

#include "link/blocks.h"
#include "link/checksum_table.h"
#include "link/line.h"
#include "link/reply_copies.h"
#include "ops/failure_cause.h"
#include "ops/file_check.h"
#include "ops/operation_errors.h"
#include "ops/show_status.h"
#include "ops/transfer_state.h"

#include <QDateTime>
#include <QFile>

#include <cstring>

namespace {

// The file as it was when we opened it; a change while it is being sent is caught at the end.
struct FileStamp {
    qint64 size;
    QDateTime modified;
    bool operator==(const FileStamp &o) const { return size == o.size && modified == o.modified; }
};

FileStamp stampOf(const QFile &file) {
    return {file.size(), file.fileTime(QFileDevice::FileModificationTime)};
}

std::unique_ptr<QFile> openForSending(const QString &name, qint32 size, Failure *why) {
    // The file may have been chosen anew, or replaced, since the check: an image of another
    // size, or what is no file at all, is never sent, cut or padded.
    FileRefusal refusal{};
    auto file = OpenImageFile(name, &refusal);
    if (!file || file->size() != size) {
        if (why)
            *why =
                Because(QStringLiteral("%1 is no longer a file of %2 bytes").arg(name).arg(size));
        return nullptr;
    }
    // Writers that take no lock are caught by the stamp check.
    QString shareRefused;
    if (!ShareImageFile(*file, name, &shareRefused)) {
        if (why)
            *why = Because(shareRefused);
        return nullptr;
    }
    return file;
}

bool failTransfer(TransferState &state, ProgressSink &sink) {
    sink.statusShown(StatusCode::TransferFailed);
    state.ImageFileHandle.reset();
    return false;
}

// The data phase: each block is put into the buffer by `fill` (false when it cannot be had),
// checksummed, sent and acknowledged.
template <class Fill>
bool sendBlocks(Line &line, TransferState &state, ProgressSink &sink, qint32 size, Failure *why,
                ReplyCopies *copies, Fill &&fill) {
    bool result = false;
    const int blocks = size / BlockSize;
    sink.phaseStarted(Phase::Data, blocks);
    qint32 block = 0;
    for (qint64 offset = 0; offset < size; offset += BlockSize, ++block) {
        if (!fill(offset, reinterpret_cast<char *>(state.BlockBuffer.data())))
            return failTransfer(state, sink);
        state.BlockCrcTable[size_t(block)] = BlockCrc(state.BlockBuffer, BlockSize);
        if (!SendBlock(line, state.BlockBuffer, block == 0 ? copies : nullptr)) {
            if (why)
                *why = BlockNotAcknowledged(line.LastReply, DataBlockName(block));
            return failTransfer(state, sink);
        }
        result = true;
        Show(sink, StatusCode::TransferSuccess);
        ShowBlockDone(
            sink, {Phase::Data, block + 1, blocks, int((offset + BlockSize) * 100 / size), blocks});
    }
    return result;
}

} // namespace

bool TransferData(Line &line, TransferState &state, ProgressSink &sink, qint32 size,
                  const QString &name, Failure *why, ReplyCopies *copies) {
    state.ImageFileHandle = openForSending(name, size, why);
    if (!state.ImageFileHandle)
        return false;
    const QFile *const opened = state.ImageFileHandle.get();
    const FileStamp stamp = stampOf(*opened);
    const auto read = [&](qint64 offset, char *buffer) {
        // Reset closes the file while the window handles its events: stop before reading.
        if (state.ImageFileHandle.get() != opened)
            throw OperationCancelled{};
        QFile &file = *state.ImageFileHandle;
        // A file that shrank since the check would leave stale bytes in the buffer.
        if ((file.pos() != offset && !file.seek(offset)) ||
            file.read(buffer, BlockSize) != BlockSize) {
            if (why)
                *why =
                    Because(QStringLiteral("%1 could not be read").arg(name), file.errorString());
            return false;
        }
        return true;
    };
    const bool result = sendBlocks(line, state, sink, size, why, copies, read);
    if (!result)
        return false;
    if (state.ImageFileHandle.get() != opened)
        throw OperationCancelled{};
    // What was sent must be what the file held throughout; a changed file is not programmed.
    if (!(stampOf(*state.ImageFileHandle) == stamp)) {
        if (why)
            *why = Because(QStringLiteral("%1 changed while it was being sent").arg(name),
                           QStringLiteral("its size or modification time changed; the device was "
                                          "not told to program it"));
        return failTransfer(state, sink);
    }
    state.ImageFileHandle.reset();
    return result;
}

bool TransferImage(Line &line, TransferState &state, ProgressSink &sink, qint32 size,
                   const QByteArray &image, Failure *why, ReplyCopies *copies) {
    // Never cut or padded: an image of another size is not sent at all.
    if (image.size() != size) {
        if (why)
            *why = Because(
                QStringLiteral("the image has %1 bytes, not %2").arg(image.size()).arg(size));
        return false;
    }
    return sendBlocks(line, state, sink, size, why, copies, [&image](qint64 offset, char *buffer) {
        std::memcpy(buffer, image.constData() + offset, BlockSize);
        return true;
    });
}

bool TransferCrc(Line &line, TransferState &state, ProgressSink &sink, qint32 size, Failure *why) {
    bool result = false;
    // One entry more than there are blocks is laid out; it lies beyond the table sent.
    const qint32 entries = size / BlockSize + 1;
    for (qint32 k = 0; k < entries; ++k)
        PutChecksum(state.CrcByteTable.data(), k, state.BlockCrcTable[size_t(k)]);
    const int blocks = ChecksumBlocks(size / BlockSize);
    const qint32 tableBytes = blocks * BlockSize;
    sink.phaseStarted(Phase::ChecksumTable, blocks);
    for (qint32 offset = 0; offset < tableBytes; offset += BlockSize) {
        std::memcpy(state.BlockBuffer.data(), &state.CrcByteTable[size_t(offset)], BlockSize);
        if (!SendBlock(line, state.BlockBuffer)) {
            if (why)
                *why = BlockNotAcknowledged(line.LastReply, ChecksumBlockName(offset / BlockSize));
            sink.statusShown(StatusCode::TransferFailed);
            return false;
        }
        result = true;
        Show(sink, StatusCode::TransferSuccess);
        ShowBlockDone(sink, {Phase::ChecksumTable, offset / BlockSize + 1, blocks,
                             int(qint64(offset + BlockSize) * 100 / tableBytes), blocks});
    }
    return result;
}
