#include "ops/image_save.h"

#include "base/whole_file_save.h"

bool SaveImageFile(const QString &name, const char *bytes, qint64 size, bool createNew,
                   QString *why) {
    const Saved saved = SaveWholeFile(name, bytes, size,
                                      createNew ? ExistingFile::Keep : ExistingFile::Replace, why);
    // The name was free when the operator chose a new file.
    if (saved == Saved::NameTaken)
        *why = QStringLiteral("%1 was made by another program meanwhile").arg(name);
    return saved == Saved::Yes;
}
