#pragma once

#include "link/checksum.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstring>

// The checksum table as it travels after a download's data and after an upload's: four bytes per
// data block, least significant first, 64 checksums to a 256-byte block.
inline constexpr int ChecksumsPerBlock = BlockSize / 4;

// Blocks of checksums that follow `dataBlocks` data blocks.
constexpr int ChecksumBlocks(int dataBlocks) {
    return dataBlocks / ChecksumsPerBlock;
}

// Entry k of a table in its wire layout.
inline void PutChecksum(quint8 *table, int k, quint32 checksum) {
    const auto bytes = CrcToBytes(checksum);
    std::memcpy(table + 4 * k, bytes.data(), 4);
}
inline quint32 ChecksumAt(const quint8 *table, int k) {
    const quint8 *b = table + 4 * k;
    return quint32(b[0]) | quint32(b[1]) << 8 | quint32(b[2]) << 16 | quint32(b[3]) << 24;
}

// A whole table in its wire layout.
inline QByteArray ChecksumTableOf(const quint32 *checksums, int count) {
    QByteArray table(qsizetype(count) * 4, Qt::Uninitialized);
    for (int k = 0; k < count; ++k)
        PutChecksum(reinterpret_cast<quint8 *>(table.data()), k, checksums[k]);
    return table;
}
