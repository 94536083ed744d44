#pragma once

#include <QString>

// Where a station keeps what it must remember between runs (a lot's counts, the records waiting
// for the broker): $XDG_STATE_HOME/torvane, or ~/.local/state/torvane where that is not set or
// not absolute. Made when something is first kept.
QString StateFolder();
