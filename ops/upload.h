#pragma once

#include <QtGlobal>

struct Line;
struct TransferState;
class OperatorConsole;

// Receives the device's data blocks and checksum blocks, acknowledging each. False (after
// sending RRFD) when a block does not arrive within its polls.
bool ReceiveData(Line &line, TransferState &state, OperatorConsole &console, qint32 size);

// Checks the device's checksum table against the checksums of the blocks received and tells
// the device the verdict (RCVS or RCVF).
bool VerifyReceivedData(Line &line, TransferState &state, qint32 size);

// Writes the received image to the upload file. The file is replaced only once the whole image
// is written; false (and the old file untouched) when that cannot be done.
bool SaveReceiveData(TransferState &state, OperatorConsole &console, qint32 size);
