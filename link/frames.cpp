#include "link/frames.h"

#include "link/event_pump.h"
#include "link/line.h"
#include "link/tmscomm.h"

#include <algorithm>

void SendCommand(Line &line, CommandCode code) {
    line.MSComm.setInBufferCount(0);
    line.MSComm.setOutBufferCount(0);
    line.LastInput = FrameOf(code);
    line.MSComm.setOutput(line.LastInput);
}

bool WaitForBytes(Line &line, int wanted, PollBudget &budget, bool eventsEachPoll) {
    TMSComm &comm = line.MSComm;
    if (comm.waitSlice().count() > 0) {
        // One wait for the polls' whole time, woken by the bytes: a silent device costs nothing
        // but a look at the events every slice.
        using Clock = std::chrono::steady_clock;
        if (!budget.deadline_)
            budget.deadline_ = Clock::now() + budget.polls_ * comm.pollPause();
        for (;;) {
            line.events.processEvents();
            if (comm.InBufferCount() >= wanted)
                return true;
            const Clock::time_point before = Clock::now();
            const Clock::duration left = *budget.deadline_ - before;
            if (left <= Clock::duration::zero())
                return false;
            const Clock::duration slice = std::min<Clock::duration>(left, comm.waitSlice());
            comm.WaitInput(wanted, slice);
            // A wait the system let run over, the thread not given the processor, counts for
            // no more polls than were asked for: the budget is polls, not the machine's load.
            const Clock::duration over = Clock::now() - before - slice;
            if (over > Clock::duration::zero())
                *budget.deadline_ += over;
        }
    }
    while (budget.left_ > 0) {
        --budget.left_;
        if (eventsEachPoll)
            line.events.processEvents();
        if (comm.InBufferCount() >= wanted)
            return true;
        comm.PollPause(wanted);
    }
    return false;
}

bool WaitReply(Line &line, CommandCode expected, PollBudget &budget) {
    ReplySeen &seen = line.LastReply;
    seen = {ReplySeen::End::NoReply, {}, budget.polls()};
    if (!WaitForBytes(line, FrameLength, budget)) {
        // What came, if anything, tells a slow device from a silent one.
        if (line.MSComm.PortOpen() && line.MSComm.InBufferCount() > 0)
            seen.received = line.MSComm.Waiting();
        return false;
    }
    line.LastInput = line.MSComm.Input();
    seen.received = line.LastInput;
    if (line.LastInput != "@") {
        seen.end = ReplySeen::End::StrayByte;
        return false;
    }
    QByteArray text;
    for (int i = 1; i < FrameLength; ++i) {
        line.LastInput = line.MSComm.Input();
        text += line.LastInput;
    }
    seen.received += text;
    seen.end =
        text == CommandText(expected) ? ReplySeen::End::Expected : ReplySeen::End::OtherFrame;
    return seen.end == ReplySeen::End::Expected;
}
