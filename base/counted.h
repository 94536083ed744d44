#pragma once

#include <QString>

// A count with its noun, as an operator reads it: "1 board", "2 boards", "0 records".
QString Counted(qint64 count, const char *one, const char *many);

// The word that goes with a count: `one` for one, else `many` ("waits", "wait").
inline QString ForCount(qint64 count, const char *one, const char *many) {
    return QLatin1String(count == 1 ? one : many);
}
