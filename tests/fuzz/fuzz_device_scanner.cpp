// The device's frame scanner fed arbitrary bytes. It must find every frame the bytes hold, whatever
// noise or torn frames come before, and nothing else; every byte is in a frame, skipped, or in the
// piece of a frame still held; and what it keeps of skipped noise stays small.
#include "device/frame_scanner.h"
#include "fuzz/fuzz_check.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const char *bytes = reinterpret_cast<const char *>(data);
    FrameScanner scanner;
    std::size_t framed = 0;
    std::size_t skipped = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const auto code = scanner.push(bytes[i]);
        // A frame ends here exactly when the last nine bytes are one: no noise ahead of a frame
        // hides it, and "KZVN" and the codes' letters hold no "@", so frames never overlap.
        const bool frameEndsHere =
            i + 1 >= std::size_t(FrameLength) && DecodeFrame(bytes + i + 1 - FrameLength);
        Require(bool(code) == frameEndsHere, "a frame is found where, and only where, one ends");
        if (code) {
            Require(std::memcmp(bytes + i + 1 - FrameLength, FrameOf(*code).constData(),
                                FrameLength) == 0,
                    "the frame found is the bytes that came");
            framed += FrameLength;
        }
        // Taken now and then, as the device does after each piece of input.
        if (data[i] % 8 == 0) {
            const FrameScanner::Skipped noise = scanner.takeSkipped();
            Require(noise.head.size() <= FrameScanner::SkippedHeadLength &&
                        noise.head.size() ==
                            std::min<qsizetype>(noise.count, FrameScanner::SkippedHeadLength),
                    "only the head of skipped noise is kept");
            skipped += std::size_t(noise.count);
        }
    }
    skipped += std::size_t(scanner.takeSkipped().count);
    Require(framed + skipped <= size, "no byte is counted twice");
    const std::size_t held = size - framed - skipped;
    Require(held < std::size_t(FrameLength) && (held > 0) == scanner.holdsPartialFrame(),
            "what is neither framed nor skipped is the piece of a frame still held");
    return 0;
}
