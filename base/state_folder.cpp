#include "base/state_folder.h"

#include <QDir>
#include <QFileInfo>

QString StateFolder() {
    // A relative XDG_STATE_HOME is to be ignored, as a relative XDG_CONFIG_HOME is.
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    const QString base = !state.isEmpty() && QFileInfo(state).isAbsolute()
                             ? state
                             : QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/torvane");
}
