#pragma once

#include "cli/cli_options.h"
#include "ports/com_port_map.h"

#include <QString>
#include <QStringList>

// "torvane-cli ports": one line per COM number, "COM.01  DEVICE  DESCRIPTION" with "-" for a
// number nothing is there for, then "-       DEVICE  DESCRIPTION" for each port present that no
// COM number reaches.
QString PortListText(const ComPortMap &ports);
// The list on stdout, and on stderr why new COM numbers could not be kept; the exit code.
int PrintPortList(const ComPortMap &ports);

// What the port the operator named leads to, for stderr before the operation: "COM.03 is
// /dev/ttyUSB0 (FT232R USB UART)", or the device a by-id name stands for today; and why new COM
// numbers could not be kept, if they could not. Nothing for a device path given as it is.
QStringList PortNotes(const CliOptions &options, const ComPortMap &ports);
