#pragma once

#include <QByteArray>
#include <QString>

// A small file the station reads for itself (a password, the authorities it trusts, a record in
// the outbox): opened without waiting on it (a FIFO with no writer, a device) and taken only when
// it is a regular file within `bound` bytes, so that what a name leads to can neither hang nor
// exhaust the station. `folder` is a descriptor of the folder `name` is in, or AT_FDCWD for a
// path; `flags` are added to the open's (O_NOFOLLOW). `why` says in a few words what is wrong
// ("No such file or directory", "no regular file", "larger than 4096 bytes").

// A descriptor of it, -1 when there is none.
int OpenRegularFile(int folder, const QByteArray &name, qint64 bound, int flags, QString *why);
// All of it; false when it was not read whole.
bool ReadRegularFile(int folder, const QByteArray &name, qint64 bound, int flags, QByteArray *bytes,
                     QString *why);
