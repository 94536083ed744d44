#include "device/frame_scanner.h"

#include <array>
#include <cstring>
#include <utility>

namespace {

const std::array<QByteArray, CommandCodeCount> &Letters() {
    static const std::array<QByteArray, CommandCodeCount> letters = [] {
        std::array<QByteArray, CommandCodeCount> all;
        for (int code = 0; code < CommandCodeCount; ++code)
            all[size_t(code)] = CommandText(code).mid(4);
        return all;
    }();
    return letters;
}

constexpr char Head[] = "@KZVN";
constexpr int HeadLength = 5;

} // namespace

std::optional<CommandCode> DecodeFrame(const char *bytes) {
    if (std::memcmp(bytes, Head, HeadLength) != 0)
        return std::nullopt;
    const auto &letters = Letters();
    for (int code = 0; code < CommandCodeCount; ++code)
        if (std::memcmp(bytes + HeadLength, letters[size_t(code)].constData(), 4) == 0)
            return CommandCode(code);
    return std::nullopt;
}

std::optional<CommandCode> FrameScanner::push(char byte) {
    frame_[fill_++] = byte;
    for (;;) {
        // A head that does not match "@KZVN" so far cannot become a frame.
        while (fill_ > 0 && std::memcmp(frame_, Head, size_t(qMin(fill_, HeadLength))) != 0)
            resync();
        if (fill_ < FrameLength)
            return std::nullopt;
        if (const auto code = DecodeFrame(frame_)) {
            fill_ = 0;
            return code;
        }
        resync();
    }
}

// Drops the first byte and everything up to the next "@".
void FrameScanner::resync() {
    int next = 1;
    while (next < fill_ && frame_[next] != '@')
        ++next;
    const int keep = int(qMin<qsizetype>(next, SkippedHeadLength - skipped_.head.size()));
    if (keep > 0)
        skipped_.head.append(frame_, keep);
    skipped_.count += next;
    std::memmove(frame_, frame_ + next, size_t(fill_ - next));
    fill_ -= next;
}

FrameScanner::Skipped FrameScanner::takeSkipped() {
    return std::exchange(skipped_, Skipped{});
}

void FrameScanner::clear() {
    fill_ = 0;
    skipped_ = {};
}
