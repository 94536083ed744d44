#pragma once

#include "link/command_code.h"

#include <QtGlobal>

struct Line;

// Empties both buffers, then sends the code's frame. Waits for no reply.
void SendCommand(Line &line, CommandCode code);

// Polls at most `polls` times for one reply frame and reads it: true only when it carries
// `expected`. `failure` names the device's negative answer for the reader; like any other
// reply, it gives false. A stray first character consumes that character alone.
bool WaitReply(Line &line, CommandCode expected, CommandCode failure, qint32 polls);
