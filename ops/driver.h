#pragma once

struct Line;
struct TransferState;
class OperatorConsole;

// The body of Start: one whole operation in the mode chosen on the console, from the file check
// to the last status text. Ignored while an operation already runs. Raises nothing: every error
// ends the operation in order and reaches the operator through the console.
void RunOperation(Line &line, TransferState &state, OperatorConsole &console);
