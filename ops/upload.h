#pragma once

#include <QString>
#include <QtGlobal>

struct Failure;
struct Line;
class ReplyCopies;
struct TransferState;
class ProgressSink;

// Receives the device's data blocks and checksum blocks, acknowledging each. False (after
// sending RRFD), with the cause in *why when given, when a block does not arrive within its
// polls. `copies`: those of the connect answer that may come ahead of the first block.
bool ReceiveData(Line &line, TransferState &state, ProgressSink &sink, qint32 size,
                 Failure *why = nullptr, ReplyCopies *copies = nullptr);

// Checks the device's checksum table against the checksums of the blocks received and tells
// the device the verdict (RCVS or RCVF); on RCVF, the cause in *why when given.
bool VerifyReceivedData(Line &line, TransferState &state, qint32 size, Failure *why = nullptr);

// Writes the received image to the upload file `name`: a new file when `createNew` (taking the
// name only while it is free), else in place of the file there. The file is replaced only once
// the whole image is on the disk; false, with the reason in *why, and the old file untouched,
// when that cannot be done.
bool SaveReceiveData(const TransferState &state, qint32 size, const QString &name, bool createNew,
                     QString *why);
