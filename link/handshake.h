#pragma once

#include "link/transfer_mode.h"

struct Line;

// Sets the request to send and the reply to expect for a mode; a value outside the mode list
// changes nothing.
void JudgeUpdateItem(Line &line, TransferMode mode);

// Sends the mode's request, at most 1,999 times, until the device answers with the expected
// reply. False when the port is (or gets) closed or the attempts run out.
bool ConnectDevice(Line &line, TransferMode mode);
