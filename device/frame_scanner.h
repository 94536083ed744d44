#pragma once

#include "link/command_code.h"

#include <QByteArray>

#include <optional>

// The code a 9-byte frame carries: "@", "KZVN" and one of the codes' letters, exactly.
std::optional<CommandCode> DecodeFrame(const char *bytes);

// Picks frames out of the bytes from the tool, one byte at a time, as the device's receiver does:
// a byte that cannot begin a frame is skipped, and a frame that goes wrong is dropped up to the
// next "@" inside it, so a stray byte or a torn frame costs nothing more than itself.
class FrameScanner {
public:
    // Bytes skipped: how many, and the first few of them for the trace.
    struct Skipped {
        qsizetype count = 0;
        QByteArray head;
    };
    static constexpr int SkippedHeadLength = 16;

    // A frame's code when this byte completes one.
    std::optional<CommandCode> push(char byte);
    // The bytes skipped since the last call.
    Skipped takeSkipped();
    bool holdsPartialFrame() const { return fill_ > 0; }
    void clear();

private:
    void resync();

    char frame_[FrameLength] = {};
    int fill_ = 0;
    Skipped skipped_; // only the head is kept, however long the noise
};
