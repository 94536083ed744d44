#pragma once

#include "ports/com_port_map.h"

#include <QString>
#include <QStringList>

// "torvane-cli ports": one line per COM number, "COM.01  DEVICE  DESCRIPTION" with "-" for a
// number nothing is there for, then "-       DEVICE  DESCRIPTION" for each port present that no
// COM number reaches.
QString PortListText(const ComPortMap &ports);
// The list on stdout, and on stderr what in the ports file cannot be used and why new COM numbers
// could not be kept; the exit code.
int PrintPortList(const ComPortMap &ports);
