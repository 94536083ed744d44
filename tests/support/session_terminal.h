#pragma once

#include "support/pty_pair.h"

#include <QProcess>

// A pseudo-terminal that a session of its own has taken as its controlling terminal, as a shell
// in screen has: what a tool must never write to nor set. The session ends with this.
class SessionTerminal : public PtyPair {
public:
    SessionTerminal();
    ~SessionTerminal();

    bool started() const { return user_.state() == QProcess::Running; }
    // The session's process: the terminal's owner, as a refusal names it.
    qint64 processId() const { return user_.processId(); }

private:
    QProcess user_;
};
