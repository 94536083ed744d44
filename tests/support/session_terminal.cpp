#include "support/session_terminal.h"

SessionTerminal::SessionTerminal() {
    user_.setStandardInputFile(slavePath());
    user_.start(QStringLiteral("setsid"),
                {QStringLiteral("-c"), QStringLiteral("sleep"), QStringLiteral("30")});
    user_.waitForStarted();
}

SessionTerminal::~SessionTerminal() {
    user_.kill();
    user_.waitForFinished();
}
