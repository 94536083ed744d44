#include "device/image_kind.h"

#include "link/transfer_mode.h"

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

// Each kind's pattern is made on its first use and never changed after: the first upload must
// answer within the tool's few milliseconds, and devices on other threads share it.
template <ImageKind Kind> const QByteArray &patternOf() {
    static const QByteArray pattern = makePattern(Kind);
    return pattern;
}

} // namespace

QByteArray PatternImage(ImageKind kind) {
    static constexpr const QByteArray &(*patterns[ImageKindCount])() = {
        patternOf<ImageKind::Software>, patternOf<ImageKind::Data>, patternOf<ImageKind::Default>,
        patternOf<ImageKind::Loader>, patternOf<ImageKind::All>};
    return patterns[int(kind)]();
}
