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
    virtual void errorLine(const QString &text) = 0;
    virtual void traceLine(const QByteArray &text) = 0;
    // Replaces the progress shown (live only).
    virtual void drawProgress(const QString &text) = 0;
    // Leaves the progress as a line of its own.
    virtual void finishProgress(const QString &text) = 0;
    // The phase's blocks as a progress bar shows them: at its start and at each block (a
    // terminal has no bar).
    virtual void blockProgress(const BlockProgress &progress) { Q_UNUSED(progress) }
};
