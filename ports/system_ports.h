#pragma once

#include "ports/com_numbering.h"

#include <QHash>
#include <QString>

#include <vector>

// The serial ports the system reports present now, each with its link in /dev/serial/by-id.
std::vector<PresentPort> ScanPresentPorts();

// The devices the links in `folder` point at, each with its link's name.
QHash<QString, QString> LinksByDevice(const QString &folder);

// Where the user's COM numbers are kept: ~/.config/torvane/ports.ini, or under XDG_CONFIG_HOME.
QString UserPortsFile();

// COM numbers as this system gives them, looked up again on each call: on Windows its own COMn;
// elsewhere the first seen takes the lowest free number and keeps it in `portsFile`.
// TORVANE_COMn, as `overrides` give them, comes first.
ComPortSource SystemComPorts(ComOverrides overrides, const QString &portsFile);
