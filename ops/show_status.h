#pragma once

#include "ops/operator_console.h"
#include "ops/status_text.h"

// Shows a stage's text and lets the window catch up; failure texts are written without this.
inline void Show(OperatorConsole &console, StatusCode code) {
    console.showStatus(StatusText(code));
    console.processEvents();
}

// "Transfering Data:  42%" and its kin: two blanks, the percentage without leading zeros.
inline void ShowPercentage(OperatorConsole &console, const char *label, qint64 percent) {
    console.showProgressText(QStringLiteral("%1:  %2%").arg(QLatin1String(label)).arg(percent));
    console.processEvents();
}
