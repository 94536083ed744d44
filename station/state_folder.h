#pragma once

#include <QString>

// Where the station keeps what it must remember between runs (a lot's counts): $XDG_STATE_HOME/
// torvane, or ~/.local/state/torvane where that is not set. Made when something is first kept.
QString StateFolder();
