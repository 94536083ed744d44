#pragma once

#include <QString>
#include <QtGlobal>

// A file is made under a hidden name beside the target, ".NAME" AsideMark "PID-N" with N below
// AsideAttempts. AsideNameExtra is the most that adds to the target's name (a process number has
// up to 10 digits): whether the folder takes the hidden name can be seen before a transfer.
inline constexpr char AsideMark[] = ".torvane-";
constexpr int AsideAttempts = 100;
constexpr int AsideNameExtra = 1 + int(sizeof AsideMark - 1) + 10 + 1 + 2;

// What a save does with a file already under the name.
enum class ExistingFile {
    Replace, // the regular file there is replaced (or one is made)
    Keep,    // the new file takes the name only while the name is free
};

// How a save ended.
enum class Saved { Yes, NameTaken, No };

// Writes `size` bytes to `name` so that a crash or a power cut at any moment leaves either what
// was there before or the whole new file under the name, and nothing beside it: the bytes go to
// a file without a name (or one hidden beside the target), are flushed to the disk, and only
// then take the name, and the folder is flushed too. Unless it says Yes, *why holds the reason
// and the old file is untouched.
Saved SaveWholeFile(const QString &name, const char *bytes, qint64 size, ExistingFile existing,
                    QString *why);

// What the system said of a write that failed with `error`, with the remedy where there is one.
QString WriteFailureText(int error);
