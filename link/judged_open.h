#pragma once

#include "link/serial_line.h"

#include <QString>

// Opening the very device that was judged, and leaving it alone when anyone else holds it. Both
// serial backends on Unix go through these before they touch the device.

// The device a name led to, open.
struct JudgedDevice {
    int fd = -1;  // the caller's to close
    QString node; // the device node's own path: the lock file is named after it
};

// Opens the device `path` leads to now, without making it this program's controlling terminal and
// without waiting, and judges what it opened on the descriptor: a terminal, the very node `check`
// names (if it names one), and a board's port (if `check` judges). Nothing is written to it, no
// setting changed. OpenFailed, the descriptor closed, when it does not pass.
JudgedDevice OpenJudgedDevice(const QString &path, const PortCheck &check);

// Every other holder of the open device is respected: a live lock file under any name the port
// goes by (`path` as given, the device's own name, its links in /dev/serial), and another process
// that has the device open, which is waited for as `check` says (said once to `note`).
// OpenFailed when one holds it.
void RefuseOtherHolders(const JudgedDevice &device, const QString &path, const PortCheck &check,
                        const LineNoteSink &note);
