#pragma once

#include "station/exit_code.h"

// How a board's operation ended, as the station counts it. A board stopped (Stop, Escape,
// Ctrl-C) is counted apart: it did not fail, and it is not done.
enum class BoardEnd { Passed, Failed, Stopped };
BoardEnd EndOf(ExitCode code);
