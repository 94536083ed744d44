#pragma once

#include <QString>
#include <QtGlobal>

// An image of `size` random bytes, the same for the same `seed`. False when it cannot be written.
bool WriteRandomImage(const QString &path, int size, quint32 seed);
