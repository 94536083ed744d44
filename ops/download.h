#pragma once

#include <QtGlobal>

struct Line;
struct TransferState;
class OperatorConsole;

// Sends the download file block by block, each checksummed before it goes out and acknowledged
// by the device. `size` is the mode's image size.
bool TransferData(Line &line, TransferState &state, OperatorConsole &console, qint32 size);

// Sends the table of the data blocks' checksums, least significant byte first, in blocks.
bool TransferCrc(Line &line, TransferState &state, OperatorConsole &console, qint32 size);
