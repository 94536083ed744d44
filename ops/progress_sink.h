#pragma once

#include "link/event_pump.h"
#include "ops/file_check.h"
#include "ops/status_text.h"

#include <QString>

#include <chrono>

class PanelView;

// The data phases that report their progress block by block.
enum class Phase { Data, ChecksumTable, Upload };

struct BlockProgress {
    Phase phase;
    int done;    // blocks done in this phase
    int total;   // blocks of the phase
    int percent; // as the phase's text shows it
    int barMax;  // the progress bar's maximum for this phase
};

// What an operation tells its front end: the window shows it on widgets, the command line on a
// terminal, tests record it. The texts are shown as ops/ gives them; nothing here decides.
class ProgressSink : public EventPump {
public:
    // The status line shows StatusText(code) in place of what it showed.
    virtual void statusShown(StatusCode code) = 0;
    // The handshake has ended, after `requests` connect requests and `took`, whatever came of it.
    virtual void connectEnded(int requests, std::chrono::steady_clock::duration took) {
        Q_UNUSED(requests)
        Q_UNUSED(took)
    }
    // The status line shows the file check's reason.
    virtual void fileRefused(FileRefusal reason) = 0;
    virtual void phaseStarted(Phase phase, int totalBlocks) {
        Q_UNUSED(phase)
        Q_UNUSED(totalBlocks)
    }
    // A block of a phase is done: the status line shows ProgressText(progress).
    virtual void blockDone(const BlockProgress &progress) = 0;
    // Sets the progress bar's range to 0..max and its step, advances it one step (a step past
    // the maximum starts again at 0), then lets the window process pending events.
    virtual void Progress(int max, int step) = 0;
    // A modal error box; returns when the operator has closed it. `cause` is what lay behind a
    // message that says the same for every cause.
    virtual void showError(const QString &text, const QString &cause = QString()) = 0;
    // Stands still for `ms` milliseconds, answering nothing; the status shown stays in view.
    virtual void standStill(int ms) = 0;
    // The window's panel, lamp and bar, where the front end has them.
    virtual PanelView *panel() { return nullptr; }
};
