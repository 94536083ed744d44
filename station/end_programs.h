#pragma once

#include "station/board_counts.h"
#include "station/board_outcome.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

class QThread;

// How long a program at a board's or a batch's end may run: a light tower, a relay or a label
// printer answers in well under a second, and five leave a printer on the network its time. The
// programs run one after another, in the order the boards ended, so one that hangs holds up those
// behind it no longer than this; and a service's stop leaves half a minute after the boards.
inline constexpr std::chrono::seconds EndProgramTime{5};
// At the end of a run, how long the programs still waiting may take to start.
inline constexpr std::chrono::seconds EndProgramsPatience{5};
// The most that may wait: past it, a board's program is not run, and that is said.
inline constexpr int MostEndProgramsWaiting = 1000;

// The word TORVANE_RESULT gives a board's end: pass, fail, stopped or refused.
QString EndResultWord(ExitCode code);

// The programs a station runs as each board ends and as its batch ends: where a plant drives its
// light tower, a relay or a label printer. Each is run without a shell (the program, found on
// PATH or by its whole path, and its arguments as words), on a thread of their own: never a
// board's, which only hands the record over and goes on. A board's program gets the board's
// record, the report's JSON line, on its standard input and TORVANE_RESULT in its environment;
// the batch's gets the totals as JSON and TORVANE_RESULT pass, fail or stopped. The station's
// secret and its service manager's sockets are left out of their environment. What they write,
// and a program that could not start, failed or ran out of time, is said in the notes; a board's
// result stands whatever becomes of its program.
class EndPrograms {
public:
    // Each a program and its arguments; empty for none.
    EndPrograms(QStringList onBoardEnd, QStringList onBatchEnd);
    // Waits for the program running (no longer than its time); those waiting are not run.
    ~EndPrograms();
    EndPrograms(const EndPrograms &) = delete;
    EndPrograms &operator=(const EndPrograms &) = delete;

    // Any thread, at once: the board's record for the board's program.
    void boardEnded(const BoardOutcome &outcome);
    // The batch has ended with `counts` (in the lot `lot`, or none): the batch's program follows
    // the boards' programs waiting. At once.
    void batchEnded(const BoardCounts &counts, const QString &lot);
    // Waits until every program handed over has run, or `patience` has passed: those that have
    // not started by then are not run, and that is said.
    void finish(std::chrono::steady_clock::duration patience);

    // What the programs wrote and what became of them, each once, in order.
    QStringList takeNotes();

private:
    struct Run {
        const QStringList *command = nullptr; // onBoardEnd_ or onBatchEnd_
        QByteArray input;
        QString result; // TORVANE_RESULT
        QString what;   // whose end: a port, or the batch
    };
    void serve();
    void runOne(const Run &run);
    void note(const QString &text);
    void enqueue(Run run);

    const QStringList onBoardEnd_;
    const QStringList onBatchEnd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Run> waiting_;
    bool running_ = false; // a program runs now
    bool stopping_ = false;
    QStringList notes_;
    std::unique_ptr<QThread> thread_;
};
