#pragma once

#include "ports/com_numbering.h"

#include <QMutex>
#include <QString>
#include <QStringList>

#include <map>

// The COM numbers given out, kept for the next run in an INI file a person can read and edit,
// one line per number naming the port it is kept for:
//
//     [ports]
//     COM3=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0
//     COM4=usb:0403:6001:A50285BI
//     COM5=/dev/ttyACM0
//
// A line deleted frees its number. Threads of one program may share a store.

// What a ports file holds, and what in it cannot be used.
struct PortsFileContents {
    ComNumbers numbers;       // as written: numbers out of range and junk identities too
    std::map<int, int> lines; // COM n -> the line it is written on
    QStringList problems;     // each line that cannot be used, once: "line 3, \"=x\": ..."
    bool usable = true;       // false: nothing in it counts, and nothing is written to it
    bool rewritable = true;   // false: it has lines without "=", which writing it would lose
};

// What the text of a ports file holds.
PortsFileContents ParsePortsFile(const QByteArray &text);

class PortStore {
public:
    explicit PortStore(QString fileName);
    PortStore(const PortStore &) = delete;
    PortStore &operator=(const PortStore &) = delete;

    QString fileName() const { return fileName_; }

    // What the file keeps; nothing when it does not exist. Its problems name the file.
    PortsFileContents read() const;

    // Numbers for the ports present. A number given out now is in the file before this returns;
    // when it cannot be, the map says why and the number holds for this run only. Programs that
    // see a new port at the same moment give out their numbers one after the other. The map's
    // problems name what in the file cannot be used.
    ComPortMap assign(const std::vector<PresentPort> &present, const ComOverrides &overrides);

private:
    QString fileName_;
    QMutex mutex_;
};
