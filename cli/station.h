#pragma once

#include "cli/cli_options.h"
#include "ports/com_port_map.h"

// The production station: the operation on every port at once, each on its own thread, or with
// --watch on each port as a board appears on it. Shows them, appends each device's record to the
// report, prints the summary and returns the exit code: 0 when every device succeeded, 130 when
// interrupted (a watch ends so: 0 unless a board failed), else 10.
int RunStation(const CliOptions &options, const ComPortSource &comPorts);
