#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

// Taking a serial device for this program alone, by the ways serial programs on Unix share, and
// saying why it could not be had. Both serial backends use these.

// Takes the open device `fd`: a lock on the device itself, whatever path reached it, that holds
// for root as well, and the kernel's exclusive mode, which keeps out programs that take no lock.
// The reason when another program has it (naming it where the system lets us see); empty when it
// is ours.
QString ClaimDevice(int fd);
// Gives up the exclusive mode before the descriptor closes (the lock goes with the descriptor).
void ReleaseDevice(int fd);

// The processes other than this one that have the character device `device` open, as
// "screen (PID 4242)", as far as the system lets us see. A pseudo-terminal's other end is the
// device behind it, not a holder: a process with the pty's master (an emulator, a terminal
// window) is left out, whether or not it holds the slave too.
QStringList HoldersOf(dev_t device);

// Why `path` could not be opened, from the system's error `error`, with the remedy where there is
// one: for a device the user may not open, the group that may; for one in use, who has it.
QString OpenFailureCause(const QString &path, int error);
