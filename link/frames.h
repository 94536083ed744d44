#pragma once

#include "link/command_code.h"

#include <QtGlobal>

struct Line;

// Empties both buffers, then sends the code's frame. Waits for no reply.
void SendCommand(Line &line, CommandCode code);

// Waits until `wanted` bytes are waiting: at most `polls` polls of the poll pause, the events
// handled at each when `eventsEachPoll`; where the component waits in slices, one wait for the
// polls' whole time, the events handled every slice. True when they are there.
bool WaitForBytes(Line &line, int wanted, qint32 polls, bool eventsEachPoll = true);

// Polls at most `polls` times for one reply frame and reads it: true only when it carries
// `expected`; the device's negative answer, like any other reply, gives false. A stray first
// character consumes that character alone.
bool WaitReply(Line &line, CommandCode expected, qint32 polls);
