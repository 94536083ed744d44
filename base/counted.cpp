#include "base/counted.h"

QString Counted(qint64 count, const char *one, const char *many) {
    return QString::number(count) + QLatin1Char(' ') + ForCount(count, one, many);
}
