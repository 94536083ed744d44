#include "link/frames.h"

#include "link/event_pump.h"
#include "link/line.h"
#include "link/tmscomm.h"

void SendCommand(Line &line, CommandCode code) {
    line.MSComm.setInBufferCount(0);
    line.MSComm.setOutBufferCount(0);
    line.LastInput = FrameOf(code);
    line.MSComm.setOutput(line.LastInput);
}

bool WaitReply(Line &line, CommandCode expected, qint32 polls) {
    bool waiting = false;
    for (qint32 poll = 0; poll < polls; ++poll) {
        line.events.processEvents();
        if (line.MSComm.InBufferCount() >= FrameLength) {
            waiting = true;
            break;
        }
        line.MSComm.PollPause(FrameLength);
    }
    if (!waiting)
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
