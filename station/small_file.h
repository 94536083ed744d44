#pragma once

#include <QByteArray>
#include <QString>

// Reads a small file of the station's own (a recipe, a lot's counts) whole: only a regular file,
// opened without waiting on anything (a pipe with no writer, a device), and only up to `limit`
// bytes. False with the reason, which names the file.
bool ReadSmallFile(const QString &path, qint64 limit, QByteArray *bytes, QString *why);
