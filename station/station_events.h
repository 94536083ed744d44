#pragma once

#include <QString>

struct BoardOutcome;
class ConsoleOutput;

// What the station tells its front end of each board. started() comes on the thread that
// launches the board, under the station's lock (it must not call back into Boards); the board's
// lines then go, from the board's own thread, to the output it returns, and ended() follows
// there once its record is written. A board that waits its turn says so on its output
// (ConsoleOutput::waiting()); begun() follows on the launching thread, under the lock, as its
// turn comes, and at once for a board that does not wait. A board that gets no thread ends on the
// launching thread. A board that tries again is one board: it starts once and ends once, with its
// last attempt.
class StationEvents {
public:
    virtual ~StationEvents() = default;
    virtual ConsoleOutput &started(int board, const QString &port) = 0;
    virtual void ended(int board, const BoardOutcome &outcome) = 0;
};
