#pragma once

#include "link/command_code.h"

#include <QString>

struct ReplySeen;

// Why a step failed: the cause in plain words, for a board's row or a status line, and the
// whole story behind it, for a record, a log or stderr.
struct Failure {
    QString cause;  // "the device refused data block 300"
    QString detail; // the cause, then what lay behind it
};

// A cause with what lay behind it, when anything did.
Failure Because(const QString &cause, const QString &specifics = QString());

// What a block of a download is called on the operator's side: "data block 12", "checksum block 3".
QString DataBlockName(qint32 block);
QString ChecksumBlockName(qint32 block);

// A block the device did not acknowledge with RRSS.
Failure BlockNotAcknowledged(const ReplySeen &seen, const QString &block);
// A reply after the checksum table that did not come as `expected`; `refusal` is the device's
// negative answer for that step and `refused` what it means ("found the checksums wrong").
Failure StepNotConfirmed(const ReplySeen &seen, CommandCode expected, CommandCode refusal,
                         const QString &refused);
// A handshake that got no matching answer to its requests.
Failure NoConnection(const ReplySeen &last, int requests);
// An upload block that did not come within its polls, `waiting` bytes of it there.
Failure BlockMissing(const QString &block, qint32 polls, int waiting);
// An upload whose checksum table differs from that of the blocks received, first at `block`.
Failure ChecksumsDiffer(qint32 block);
