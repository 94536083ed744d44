#pragma once

#include "link/command_code.h"

#include <QtGlobal>

#include <chrono>
#include <optional>

struct Line;

// Empties both buffers, then sends the code's frame. Waits for no reply.
void SendCommand(Line &line, CommandCode code);

// A wait's polls, spent by one or more waits for the same reply or block. Where the component
// waits in slices, the polls' whole time, counted from the first wait and stretched by whatever
// the system kept the thread from running.
class PollBudget {
public:
    explicit PollBudget(qint32 polls) : polls_(polls) {}
    qint32 polls() const { return polls_; }

private:
    friend bool WaitForBytes(Line &line, int wanted, PollBudget &budget, bool eventsEachPoll);
    qint32 polls_;
    qint32 left_ = polls_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
};

// Waits until `wanted` bytes are waiting: at most the budget's polls of the poll pause, the
// events handled at each when `eventsEachPoll`; where the component waits in slices, one wait
// for the polls' whole time (stretched by the time the thread was kept from running), the events
// handled every slice. True when they are there.
bool WaitForBytes(Line &line, int wanted, PollBudget &budget, bool eventsEachPoll = true);
inline bool WaitForBytes(Line &line, int wanted, qint32 polls, bool eventsEachPoll = true) {
    PollBudget budget(polls);
    return WaitForBytes(line, wanted, budget, eventsEachPoll);
}

// Polls for one reply frame and reads it: true only when it carries `expected`; the device's
// negative answer, like any other reply, gives false. A stray first character consumes that
// character alone. Line::LastReply tells how it ended.
bool WaitReply(Line &line, CommandCode expected, PollBudget &budget);
inline bool WaitReply(Line &line, CommandCode expected, qint32 polls) {
    PollBudget budget(polls);
    return WaitReply(line, expected, budget);
}
