#pragma once

#include "link/command_code.h"

#include <QByteArray>

class TMSComm;
class EventPump;

// How the last wait for a reply frame ended: what a failed step tells the operator.
struct ReplySeen {
    enum class End {
        Expected,   // the reply waited for
        NoReply,    // fewer than a frame's bytes within the polls
        StrayByte,  // a first character that is no "@"
        OtherFrame, // a whole frame with another tag or code
    };
    End end = End::NoReply;
    QByteArray received; // the stray character or the frame read; for no reply, what waited
    qint32 polls = 0;    // the wait's budget
};

// The link to the device as the operations see it: the serial component, the front end's
// chance to handle its events while the link waits, and the link's own values.
struct Line {
    Line(TMSComm &comm, EventPump &pump) : MSComm(comm), events(pump) {}

    TMSComm &MSComm;
    EventPump &events;
    // The last frame sent, or the last character or block read.
    QByteArray LastInput;
    // The handshake's request and expected reply for the mode last connected.
    CommandCode SendCodeSlot = CommandCode::TSPO;
    CommandCode ExpectCodeSlot = CommandCode::TSPO;
    ReplySeen LastReply;
};
