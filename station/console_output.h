#pragma once

#include "ops/progress_sink.h"

#include <QByteArray>
#include <QString>

// Where an operation's lines go: the status lines and the result, the progress, the trace and
// errors. One terminal for a single port; one row of the station's view for each of many.
class ConsoleOutput {
public:
    virtual ~ConsoleOutput() = default;

    // Whether the progress may be redrawn in place.
    virtual bool live() const = 0;

    virtual void statusLine(const QString &text) = 0;
    // A line beside the status in plain words, with no program's name: a note (where a port
    // leads) or what lay behind the ending. A front end adds its own name where its people
    // expect one.
    virtual void errorLine(const QString &text) = 0;
    // What ended the operation (the one-port window's error box): its cause.
    virtual void errorBox(const QString &cause) { errorLine(cause); }
    virtual void traceLine(const QByteArray &text) = 0;
    // Replaces the progress shown (live only).
    virtual void drawProgress(const QString &text) = 0;
    // Leaves the progress as a line of its own.
    virtual void finishProgress(const QString &text) = 0;
    // The phase's blocks as a progress bar shows them: at its start and at each block (a
    // terminal has no bar).
    virtual void blockProgress(const BlockProgress &progress) { Q_UNUSED(progress) }
    // The board waits its turn (`why`: what holds it back) before its operation begins: it holds
    // no port yet.
    virtual void waiting(const QString &why) { errorLine(why); }
    // Its turn came: its operation begins now, at once for a board that did not wait.
    virtual void begun() {}
    // A job of several steps begins its next step: `label` says which ("step 2 of 3: Download
    // Software"). A status line of its own, unless the front end shows it otherwise.
    virtual void stepStarted(const QString &label) { statusLine(label); }
    // The operation failed in a way trying again may cure, and starts again from the start:
    // this is attempt `attempt` (2 and on) of at most `attempts`.
    virtual void attemptStarted(int attempt, int attempts) {
        Q_UNUSED(attempt)
        Q_UNUSED(attempts)
    }
};
