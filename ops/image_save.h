#pragma once

#include <QString>
#include <QtGlobal>

// Saves an image read from the device under `name`, whole or not at all (SaveWholeFile). With
// `createNew` (the operator was asked and a new file is to be made) the image takes the name only
// while it is free: a file another program made there since is left as it is. Otherwise it
// replaces the regular file there. False, with the reason in *why, when it was not saved.
bool SaveImageFile(const QString &name, const char *bytes, qint64 size, bool createNew,
                   QString *why);
