#pragma once

#include "device/image_store.h"

#include <QString>
#include <QStringList>

#include <functional>

// Images kept as files "<kind>.bin" in one directory, so that they outlive the device. A file is
// replaced whole (written aside, then renamed over the old one) or not at all.
class FileImageStore : public ImageStore {
public:
    using Warn = std::function<void(const QString &)>;

    FileImageStore(const QString &directory, Warn warn);

    // Creates the directory if needed and checks the files already in it: one line per problem.
    QStringList prepare();
    QString pathOf(ImageKind kind) const;

    // A missing file is no image; an unreadable one or one of the wrong size is warned about and
    // taken as none.
    std::optional<QByteArray> load(ImageKind kind) override;
    bool save(ImageKind kind, const QByteArray &image) override;

private:
    QString directory_;
    Warn warn_;
};
