#include "ops/progress_text.h"

#include <iterator>

QString ProgressText(Phase phase, int percent) {
    static constexpr const char *labels[] = {"Transfering Data", "Transfering CRC", "Transfering"};
    static_assert(std::size(labels) == 3);
    return QStringLiteral("%1:  %2%").arg(QLatin1String(labels[int(phase)])).arg(percent);
}
