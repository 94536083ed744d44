#pragma once

struct Line;

// Sets the request to send and the reply to expect for a mode; any other value changes nothing.
void JudgeUpdateItem(Line &line, int mode);

// Sends the mode's request, at most 1,999 times, until the device answers with the expected
// reply. False when the port is (or gets) closed or the attempts run out.
bool ConnectDevice(Line &line, int mode);
