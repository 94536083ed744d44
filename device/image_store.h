#pragma once

#include "device/image_kind.h"

#include <QByteArray>

#include <array>
#include <optional>

// Where the device keeps the images that downloads program and uploads read back.
class ImageStore {
public:
    virtual ~ImageStore() = default;
    // The stored image of this kind, exactly KindSize bytes; nothing when none is stored.
    virtual std::optional<QByteArray> load(ImageKind kind) = 0;
    // Keeps the image whole or not at all; false when it could not be kept.
    virtual bool save(ImageKind kind, const QByteArray &image) = 0;
};

// Images that live as long as the device runs.
class MemoryImageStore : public ImageStore {
public:
    std::optional<QByteArray> load(ImageKind kind) override { return images_[size_t(kind)]; }
    bool save(ImageKind kind, const QByteArray &image) override {
        if (image.size() != KindSize(kind))
            return false;
        images_[size_t(kind)] = image;
        return true;
    }

private:
    std::array<std::optional<QByteArray>, ImageKindCount> images_;
};
