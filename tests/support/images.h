#pragma once

#include <QByteArray>
#include <QString>

// Image bytes and files as the tests need them.

// A reproducible image of `size` bytes: the same seed gives the same bytes.
QByteArray TestImage(qsizetype size, quint32 seed);

// The checksum table as a download sends it: four bytes per 256-byte block, least significant
// byte first.
QByteArray CrcTableOf(const QByteArray &image);

QByteArray ReadFile(const QString &path);
bool WriteFile(const QString &path, const QByteArray &bytes);
