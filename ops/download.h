#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

struct Failure;
struct Line;
class ReplyCopies;
struct TransferState;
class ProgressSink;

// Sends the download file `name` block by block, each checksummed before it goes out and
// acknowledged by the device. `size` is the mode's image size. On a failure, *why (when given)
// says what went wrong. `copies`: those of the connect answer that may come ahead of the first
// acknowledgement.
bool TransferData(Line &line, TransferState &state, ProgressSink &sink, qint32 size,
                  const QString &name, Failure *why = nullptr, ReplyCopies *copies = nullptr);

// The same for an image already in memory, `size` bytes of it.
bool TransferImage(Line &line, TransferState &state, ProgressSink &sink, qint32 size,
                   const QByteArray &image, Failure *why = nullptr, ReplyCopies *copies = nullptr);

// Sends the table of the data blocks' checksums, least significant byte first, in blocks.
bool TransferCrc(Line &line, TransferState &state, ProgressSink &sink, qint32 size,
                 Failure *why = nullptr);
