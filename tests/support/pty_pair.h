#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

// A real pseudo-terminal pair: the tool opens the slave path like any serial device; the test
// plays the device on the master side. The slave stays open here too, in raw mode, so the master
// never reads EIO while the tool has the port closed.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    QString slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

    // Device side: send bytes to the tool.
    void write(const QByteArray &bytes);
    // Device side: read exactly `count` bytes, or what came within `timeout`.
    QByteArray read(int count, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    // Device side: everything that arrives within `quiet` of silence.
    QByteArray drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(50));
    // Hangs up the device side: closes the master and our slave.
    void hangUp();

private:
    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
};
