#pragma once

#include <QByteArray>

// The four-letter codes of the frames exchanged with the device, in their wire order.
enum class CommandCode : int {
    TSPO,
    TDPO,
    TFPO,
    TLPO,
    TAPO,
    TKPO,
    TGPO,
    RSPO,
    RDPO,
    RFPO,
    RLPO,
    RAPO,
    RKPO,
    RGPO,
    RRFD,
    RRSS,
    RCVF,
    RCVS,
    REFF,
    REFS,
    RWFF,
    RWFS,
};

inline constexpr int CommandCodeCount = 22;
inline constexpr int FrameLength = 9;

// "KZVN" and the code's letters; the tag alone for a value outside the table.
QByteArray CommandText(int code);
inline QByteArray CommandText(CommandCode code) {
    return CommandText(int(code));
}

// The whole frame as it travels: "@", the tag and the letters.
inline QByteArray FrameOf(CommandCode code) {
    return '@' + CommandText(code);
}
