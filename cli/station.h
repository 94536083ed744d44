#pragma once

#include "cli/cli_options.h"
#include "ports/com_port_map.h"

// The operation on every port named, each on its own thread, or with --watch on each port as a
// board appears on it; one port is a station of one. Shows them, appends each device's record to
// the report, prints the result (for several ports, the summary) and returns the exit code: for
// one port its own; else 0 when every device succeeded, 130 when interrupted (a watch ends so: 0
// unless a board failed), else 10.
int RunStation(const CliOptions &options, const ComPortSource &comPorts);
