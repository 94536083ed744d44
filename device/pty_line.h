#pragma once

#include <QString>

// The device's end of a pseudo-terminal. The device talks through the master; it also holds the
// slave open, in raw mode, so the master never reads EIO while no tool has the port open and the
// tool can close and reopen the port between operations.
class PtyLine {
public:
    PtyLine() = default;
    ~PtyLine() { hangUp(); }
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    // False with the reason in *error.
    bool open(QString *error);
    int master() const { return master_; }
    QString slavePath() const { return slavePath_; }
    // Bytes sent that the tool has not read yet.
    int unreadByTool() const;
    // Closes the master and the slave: the tool sees its port hung up.
    void hangUp();
    // Drops the exclusive mode a tool set on the port. A real port drops it when its last
    // descriptor closes; this slave stays open in the device, so a tool killed before it could
    // clear the mode would keep every later tool but root's out.
    void releaseExclusive();

private:
    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
};
