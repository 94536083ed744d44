#include "link/reply_copies.h"

#include "link/frames.h"
#include "link/line.h"
#include "link/tmscomm.h"

namespace {

// Takes `count` waiting bytes off the front, whatever the input mode reads at a time.
void consume(TMSComm &comm, int count) {
    const int length = comm.InputLen();
    comm.setInputLen(count);
    comm.Input();
    comm.setInputLen(length);
}

} // namespace

void ReplyCopies::passOver(Line &line, int following, qint32 polls, bool eventsEachPoll,
                           bool afterPurge) {
    if (mayCome_ <= 0)
        return;
    if (afterPurge && dropRestOfACopy(line, polls + apart_, eventsEachPoll))
        --mayCome_;
    TMSComm &comm = line.MSComm;
    const QByteArray copy = FrameOf(reply_);
    while (mayCome_ > 0) {
        PollBudget budget(polls + apart_);
        if (!WaitForBytes(line, FrameLength, budget, eventsEachPoll) ||
            !comm.Waiting().startsWith(copy) ||
            !WaitForBytes(line, FrameLength + following, budget, eventsEachPoll))
            return;
        consume(comm, FrameLength);
        --mayCome_;
    }
}

// A copy cut in two leaves its last characters, which are letters, with the next frame's "@"
// right behind them.
bool ReplyCopies::dropRestOfACopy(Line &line, qint32 polls, bool eventsEachPoll) {
    TMSComm &comm = line.MSComm;
    if (!WaitForBytes(line, FrameLength, polls, eventsEachPoll))
        return false;
    const QByteArray waiting = comm.Waiting();
    const qsizetype at = waiting.indexOf('@');
    if (at < 1 || at >= FrameLength || !FrameOf(reply_).endsWith(waiting.left(at)))
        return false;
    consume(comm, int(at));
    return true;
}
