#include "link/checksum.h"

#include <QByteArray>

quint32 BlockCrc(const quint8 *data, int count) {
    quint32 r = 0;
    const int n = count < BlockSize ? count : BlockSize;
    for (int i = 0; i < n; ++i)
        r = CrcTable[(r >> 24) & 0xFFu] ^ ((r << 8) | data[i]);
    return r;
}

qint32 RadixToInt(const QByteArray &text, qint32 radix, qint32 bound) {
    if (radix < 2 || radix > 36)
        return 0;
    const qint32 q = bound / radix;
    const qint32 m = bound % radix;
    int i = 0;
    while (i < text.size() && text.at(i) == '\0')
        ++i;
    qint32 v = 0;
    for (; i < text.size(); ++i) {
        char c = text.at(i);
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
        qint32 d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'Z')
            d = c - 'A' + 10;
        else
            break;
        if (d >= radix)
            break;
        if (v < q || (v == q && d <= m))
            v = v * radix + d;
        else
            break;
    }
    return v;
}

std::array<quint8, 4> CrcToBytes(quint32 checksum) {
    return {quint8(checksum), quint8(checksum >> 8), quint8(checksum >> 16),
            quint8(checksum >> 24)};
}
