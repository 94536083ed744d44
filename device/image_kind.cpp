#include "device/image_kind.h"

#include "link/transfer_mode.h"

#include <array>

ImageKind KindOfMode(int mode) {
    static constexpr ImageKind kinds[TransferModeCount] = {
        ImageKind::Software, ImageKind::Data,     ImageKind::Default, ImageKind::Loader,
        ImageKind::All,      ImageKind::Software, ImageKind::Data,    ImageKind::Default};
    return kinds[mode >= 0 && mode < TransferModeCount ? mode : 0];
}

const char *KindName(ImageKind kind) {
    static constexpr const char *names[ImageKindCount] = {"software", "data", "default", "loader",
                                                          "all"};
    return names[int(kind)];
}

qint32 KindSize(ImageKind kind) {
    // The download mode of each kind has the kind's index.
    return ImageSize(TransferMode(int(kind)));
}

namespace {

QByteArray makePattern(ImageKind kind) {
    QByteArray image(KindSize(kind), Qt::Uninitialized);
    quint32 x = 0x9E3779B9u * quint32(int(kind) + 1);
    for (char &byte : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = char(x >> 24);
    }
    return image;
}

} // namespace

QByteArray PatternImage(ImageKind kind) {
    // Made once per kind and shared: an upload must answer the connect request within the tool's
    // few milliseconds. The device runs on one thread.
    static std::array<QByteArray, ImageKindCount> patterns;
    QByteArray &pattern = patterns[size_t(kind)];
    if (pattern.isEmpty())
        pattern = makePattern(kind);
    return pattern;
}
