#pragma once

#include "link/checksum.h"

struct Line;

// Sends one block as raw bytes after emptying both buffers, and waits up to 300 polls for the
// device's RRSS. Taken by value: the caller may refill its buffer at once.
bool SendBlock(Line &line, Block block);
