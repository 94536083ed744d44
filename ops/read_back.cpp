#include "ops/read_back.h"

#include "link/checksum.h"
#include "ops/failure_cause.h"
#include "ops/transfer_state.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace {

QString hexByte(quint8 value) {
    return QStringLiteral("0x%1").arg(value, 2, 16, QLatin1Char('0'));
}

} // namespace

QString Grouped(qint64 value) {
    QString digits = QString::number(value < 0 ? -value : value);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return value < 0 ? QLatin1Char('-') + digits : digits;
}

std::optional<Failure> ReadBackDiffers(const TransferState &state, TransferMode mode,
                                       const QByteArray &expected, const QString &name) {
    const qint32 size = ImageSize(mode);
    const auto *device = state.ImageBuffer.data();
    const auto *file = reinterpret_cast<const quint8 *>(expected.constData());
    // A file of another size is refused before anything is sent; here it can only be short.
    if (expected.size() == size && std::memcmp(device, file, size_t(size)) == 0)
        return std::nullopt;
    const qint32 common = qint32(std::min<qsizetype>(expected.size(), size));
    const qint32 first = qint32(std::mismatch(device, device + common, file).first - device);
    int blocks = 0;
    for (qint32 block = first / BlockSize; block * BlockSize < size; ++block) {
        const qint32 at = block * BlockSize;
        const qint32 length = std::min(BlockSize, common - at);
        blocks += length < BlockSize || std::memcmp(device + at, file + at, size_t(length)) != 0;
    }
    // The kind as the operator names it: "Upload Software" reads back the device's software.
    const QString kind = QString::fromLatin1(ModeName(mode)).section(QLatin1Char(' '), 1).toLower();
    const QString cause = QStringLiteral("the device's %1 differs from %2 from block %3 (byte %4)")
                              .arg(kind, QFileInfo(name).fileName())
                              .arg(first / BlockSize)
                              .arg(Grouped(first));
    const QString there = first < common ? QStringLiteral("the device has %1 there, the file %2")
                                               .arg(hexByte(device[first]), hexByte(file[first]))
                                         : QStringLiteral("the file ends there");
    return Because(cause, QStringLiteral("%1; %2 of %3 blocks differ; the file is %4")
                              .arg(there)
                              .arg(blocks)
                              .arg(size / BlockSize)
                              .arg(name));
}
