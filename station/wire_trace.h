#pragma once

#include "link/tmscomm.h"

#include <QByteArray>

#include <chrono>

class ConsoleOutput;

// The wire as the operator reads it: one line per frame or block, with the time since start.
// The link reads a reply one character at a time; the characters are gathered into frames here.
class WireTrace {
public:
    using Clock = std::chrono::steady_clock;

    WireTrace(ConsoleOutput &output, Clock::time_point start);

    void record(TMSComm::Direction direction, const QByteArray &bytes);
    // Prints what is left of a partial reply.
    void flush();

private:
    void line(const char *arrow, const QByteArray &text);
    void received(const QByteArray &bytes);
    QByteArray describe(const QByteArray &bytes, int &blockCounter) const;

    ConsoleOutput &output_;
    Clock::time_point start_;
    QByteArray pending_;
    int sentBlocks_ = 0;
    int receivedBlocks_ = 0;
};
