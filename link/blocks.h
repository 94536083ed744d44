#pragma once

#include "link/checksum.h"

struct Line;
class ReplyCopies;

// Sends one block as raw bytes after emptying both buffers, and waits up to 300 polls for the
// device's RRSS. Taken by value: the caller may refill its buffer at once. `copies`, for the
// first block after a handshake: copies of the connect answer ahead of the acknowledgement are
// passed over, each with a wait of its own.
bool SendBlock(Line &line, Block block, ReplyCopies *copies = nullptr);
