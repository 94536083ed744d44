#pragma once

#include "ops/progress_sink.h"

#include <QString>

// "Transfering Data:  42%" and its kin: the phase's label, two blanks, the percentage.
QString ProgressText(Phase phase, int percent);
inline QString ProgressText(const BlockProgress &progress) {
    return ProgressText(progress.phase, progress.percent);
}
