#pragma once

#include "cli/exit_code.h"

#include <QString>

// What the operation showed the operator: it tells its outcome only through these.
struct OperationRecord {
    QString lastStatus; // the last status text shown, refusals included
    QString errorText;  // the last error box, if any
    bool errorShown = false;
    bool interrupted = false; // Ctrl-C or SIGTERM reached the operation
};

// The exit code of an operation from what it showed. A lost device or another error box counts
// against the step that was running when it came.
ExitCode ClassifyOutcome(const OperationRecord &record);
