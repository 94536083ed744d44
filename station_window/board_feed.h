#pragma once

#include "station/console_output.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>

#include <mutex>

// What one board's thread tells its row. The thread only stores it; the window takes what is
// new at its next look, ten times a second, so that thousands of blocks a second cost the window
// nothing and no widget is touched from a board's thread.
class BoardFeed : public ConsoleOutput {
public:
    explicit BoardFeed(bool trace) : trace_(trace) {}

    bool live() const override { return true; }
    void statusLine(const QString &text) override;
    void errorLine(const QString &text) override;
    void traceLine(const QByteArray &text) override;
    void drawProgress(const QString &) override {}
    void finishProgress(const QString &text) override;
    void blockProgress(const BlockProgress &progress) override;
    void attemptStarted(int attempt, int attempts) override;
    void stepStarted(const QString &label) override;
    void waiting(const QString &why) override;
    void begun() override;

    // The row as it stands now: the status text as the one-port window shows it (the status,
    // or the phase's percentage during a data phase; while it waits, what it waits for; while
    // its port opens, what the opening said), in a job of several steps after the step's label
    // ("step 3 of 3: Verify Software 45%"), and the phase's blocks.
    struct Look {
        QString status;
        int done = 0;
        int total = 0;
        QString attempt;      // "attempt 2 of 3" while it tries again; else empty
        bool waiting = true;  // its turn has not come yet, or it says it waits
        bool held = false;    // its port is open: from the operation's first status on
        double seconds = -1;  // since its operation began; -1 before
        bool changed = false; // since the last look, but for the seconds
    };
    Look look();
    // What the board said beyond its status: its status lines, each phase's end, its errors;
    // then the trace, when tracing was on.
    QString detail() const;

private:
    // The trace of a long run is cut to its last lines: the detail is read on a screen.
    static constexpr int TraceKept = 4000;

    mutable std::mutex mutex_;
    bool trace_;
    QString status_;
    QString step_; // the step's label in a job of several; else empty
    QString attempt_;
    BlockProgress progress_{};
    bool inPhase_ = false;
    bool changed_ = false;
    bool begun_ = false;
    bool waiting_ = false; // the status says what it waits for
    bool held_ = false;
    QElapsedTimer since_; // from its operation's start, as its record counts its seconds
    QStringList lines_;
    QList<QByteArray> traceLines_;
    qint64 traceDropped_ = 0;
};
