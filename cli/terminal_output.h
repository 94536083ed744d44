#pragma once

#include "station/console_output.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

// Whether a line on the descriptor may be redrawn in place: a terminal, unless it says it cannot
// move the cursor (TERM=dumb, as in an editor's shell buffer).
bool CanRedraw(int fd);

// "attempt 2 of 3": what a board that tries again shows while it does.
QString AttemptText(int attempt, int attempts);

// stdout carries the status lines and the result; stderr the progress, the trace and errors.
// On a terminal the progress is one line redrawn in place, and every other line first makes
// room for itself. A stream that is the journal's gets each line with its priority.
class TerminalOutput : public ConsoleOutput {
public:
    TerminalOutput(std::FILE *out, std::FILE *err, bool live);

    // Whether the progress line may be redrawn in place.
    bool live() const override { return live_; }

    void statusLine(const QString &text) override;
    // Said after the program's name, as a script's log expects.
    void errorLine(const QString &text) override;
    void errorBox(const QString &cause) override;
    void attemptStarted(int attempt, int attempts) override;
    void traceLine(const QByteArray &text) override;
    // Replaces the progress line (live only).
    void drawProgress(const QString &text) override;
    // Leaves the progress as a line of its own.
    void finishProgress(const QString &text) override;

private:
    void endProgressLine(bool keep);
    // A line as it goes out on `stream`.
    void put(std::FILE *stream, const QByteArray &line);

    std::FILE *out_;
    std::FILE *err_;
    bool live_;
    bool outIsJournal_;
    bool errIsJournal_;
    bool progressShown_ = false;
};
