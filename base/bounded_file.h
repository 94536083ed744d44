#pragma once

#include <QByteArray>
#include <QString>

// A small file the tool reads for itself (its ports file, a lock file, what /proc and /sys say, a
// broker's password, a record in the outbox): read only when it is a regular file, without
// waiting on it, and only up to a bound, so that a FIFO, a device or a file of endless size named
// there can neither hang nor exhaust the tool.
struct BoundedFile {
    bool exists = false; // false: nothing is there (or the path leads through nothing)
    QByteArray content;  // empty unless read
    // Why it was not read, in a few words ("a FIFO, not a file", "larger than 64 KiB", the
    // system's error); empty when it was read whole.
    QString problem;

    bool read() const { return exists && problem.isEmpty(); }
};

// Reads `path`, following links unless `followLinks` is false.
BoundedFile ReadBoundedFile(const QString &path, qint64 maxBytes, bool followLinks = true);
#ifdef Q_OS_UNIX
// Reads `name` in the folder open as the descriptor `folder`; AT_FDCWD reads a path.
BoundedFile ReadBoundedFileAt(int folder, const QByteArray &name, qint64 maxBytes,
                              bool followLinks = true);
#endif

// "a directory", "a FIFO", "a character device", ... for the file type in `mode` (st_mode).
QString FileKindText(unsigned mode);
