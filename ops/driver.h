#pragma once

#include "ops/operation_request.h"
#include "ops/operation_result.h"

struct Line;
struct TransferState;
class ProgressSink;

// The body of Start: one whole operation, from the file check to the last status text, shown on
// `sink`. `live` gives the operator's choice as it stands now, where the operation looks at it
// again; without it the request stands throughout. Ignored while an operation already runs.
// Raises nothing: every error ends the operation in order and reaches the operator through the
// sink; the result tells how far it came and how it ended.
OperationResult RunOperation(Line &line, TransferState &state, const OperationRequest &request,
                             ProgressSink &sink, const RequestSource &live = {});

// Opens the port at `portIndex` with the lamp in step: green as the opening begins, red with the
// error box when it fails. False after a failure it has already shown.
bool OpenPort(Line &line, int portIndex, ProgressSink &sink, QString *cause = nullptr);
