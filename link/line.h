#pragma once

#include "link/command_code.h"

#include <QByteArray>

class TMSComm;
class EventPump;

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
};
