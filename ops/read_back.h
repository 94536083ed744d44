#pragma once

#include "link/transfer_mode.h"

#include <QByteArray>
#include <QString>

#include <optional>

struct Failure;
struct TransferState;

// Compares the image an upload received with `expected`, the file `name` holds, byte for byte.
// Nothing when they are equal; else the first block and byte that differ, in the device's kind
// ("the device's software differs from sw.bin from block 57 (byte 14,600)"), and in the detail
// the two bytes there and how many blocks differ in all.
std::optional<Failure> ReadBackDiffers(const TransferState &state, TransferMode mode,
                                       const QByteArray &expected, const QString &name);

// 14600 as "14,600": a figure an operator reads at a glance, whatever the system's locale.
QString Grouped(qint64 value);
