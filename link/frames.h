#pragma once

#include "link/command_code.h"

#include <QtGlobal>

struct Line;

// Empties both buffers, then sends the code's frame. Waits for no reply.
void SendCommand(Line &line, CommandCode code);

// Polls at most `polls` times for one reply frame and reads it: true only when it carries
// `expected`; the device's negative answer, like any other reply, gives false. A stray first
// character consumes that character alone.
bool WaitReply(Line &line, CommandCode expected, qint32 polls);
