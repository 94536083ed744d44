#include "link/frames.h"

#include "link/event_pump.h"
#include "link/line.h"
#include "link/tmscomm.h"

#include <algorithm>
#include <chrono>

void SendCommand(Line &line, CommandCode code) {
    line.MSComm.setInBufferCount(0);
    line.MSComm.setOutBufferCount(0);
    line.LastInput = FrameOf(code);
    line.MSComm.setOutput(line.LastInput);
}

bool WaitForBytes(Line &line, int wanted, qint32 polls, bool eventsEachPoll) {
    TMSComm &comm = line.MSComm;
    if (comm.waitSlice().count() > 0) {
        // One wait for the polls' whole time, woken by the bytes: a silent device costs nothing
        // but a look at the events every slice.
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + polls * comm.pollPause();
        for (;;) {
            line.events.processEvents();
            if (comm.InBufferCount() >= wanted)
                return true;
            const Clock::duration left = deadline - Clock::now();
            if (left <= Clock::duration::zero())
                return false;
            comm.WaitInput(wanted, std::min<Clock::duration>(left, comm.waitSlice()));
        }
    }
    for (qint32 poll = 0; poll < polls; ++poll) {
        if (eventsEachPoll)
            line.events.processEvents();
        if (comm.InBufferCount() >= wanted)
            return true;
        comm.PollPause(wanted);
    }
    return false;
}

bool WaitReply(Line &line, CommandCode expected, qint32 polls) {
    if (!WaitForBytes(line, FrameLength, polls))
        return false;
    line.LastInput = line.MSComm.Input();
    if (line.LastInput != "@")
        return false;
    QByteArray text;
    for (int i = 1; i < FrameLength; ++i) {
        line.LastInput = line.MSComm.Input();
        text += line.LastInput;
    }
    return text == CommandText(expected);
}
