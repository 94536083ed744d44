#pragma once

#include <QtGlobal>

#include <array>

class QByteArray;

// The block checksum the device computes over every 256-byte block. The table is the reflected
// CRC-32 table (polynomial 0xEDB88320), but the register shifts towards its most significant end
// and starts at 0, with no final xor: it is not the common CRC-32, and none may stand in for it.
constexpr std::array<quint32, 256> makeCrcTable() {
    std::array<quint32, 256> table{};
    for (quint32 n = 0; n < 256; ++n) {
        quint32 c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[n] = c;
    }
    return table;
}

inline constexpr std::array<quint32, 256> CrcTable = makeCrcTable();

static_assert(CrcTable[1] == 0x77073096u && CrcTable[128] == 0xEDB88320u &&
              CrcTable[255] == 0x2D02EF8Du);

inline constexpr int BlockSize = 256;
using Block = std::array<quint8, BlockSize>;

// Covers the first `count` bytes of `data` (at most 256; none when count <= 0).
quint32 BlockCrc(const quint8 *data, int count);
inline quint32 BlockCrc(const Block &block, int count) {
    return BlockCrc(block.data(), count);
}

// Parses digits of `radix` (2..36) from `text`, after any leading NULs, and stops before a digit
// that would carry the value above `bound`. Never fails: what cannot be read gives what was read.
qint32 RadixToInt(const QByteArray &text, qint32 radix, qint32 bound);

// A checksum as it travels on the wire: least significant byte first.
std::array<quint8, 4> CrcToBytes(quint32 checksum);
