#pragma once

// Makes sure descriptors 0, 1 and 2 are open (to /dev/null when they were closed), before the
// program opens anything else: a port or a file opened as descriptor 2 would otherwise take the
// program's messages onto the serial line or into an image. Call first thing in main().
void EnsureStandardStreams();
