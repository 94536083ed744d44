#pragma once

#include "link/command_code.h"

#include <QByteArray>

class TMSComm;
class PortConsole;

// The link to the device as the operations see it: the serial component, the window's side of
// it, and the link's own values that live as long as the program.
struct Line {
    Line(TMSComm &comm, PortConsole &portConsole) : MSComm(comm), console(portConsole) {}

    TMSComm &MSComm;
    PortConsole &console;
    // The last frame sent, or the last character or block read.
    QByteArray LastInput;
    // The handshake's request and expected reply for the mode last connected.
    CommandCode SendCodeSlot = CommandCode::TSPO;
    CommandCode ExpectCodeSlot = CommandCode::TSPO;
};
