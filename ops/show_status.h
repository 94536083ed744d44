#pragma once

#include "ops/progress_sink.h"

// Shows a stage's text and lets the window catch up; failure texts are written without this.
inline void Show(ProgressSink &sink, StatusCode code) {
    sink.statusShown(code);
    sink.processEvents();
}

// A block done: its percentage text, a moment for the window, then the bar's step.
inline void ShowBlockDone(ProgressSink &sink, const BlockProgress &progress) {
    sink.blockDone(progress);
    sink.processEvents();
    sink.Progress(progress.barMax, 1);
}
