#pragma once

#include <QString>

#include <chrono>
#include <optional>

// The misbehaviours the device can be told to show, for tests, benchmarks and the operator who
// wants to see the tool fail. Counts of blocks are 0-based indices or numbers of whole blocks.
struct DeviceFaults {
    bool silent = false;                     // never answers
    std::optional<int> nakBlock;             // download: RRFD instead of RRSS for this data block
    bool wrongReply = false;                 // answers a connect request with another mode's code
    bool strayByte = false;                  // one stray byte ahead of a connection's first answer
    bool badChecksum = false;                // download: RCVF; upload: a wrong checksum table
    bool eraseFail = false;                  // REFF instead of REFS
    bool programFail = false;                // RWFF instead of RWFS
    std::optional<int> stopAfter;            // silent for the rest of the operation after N blocks
    std::optional<int> hangupAfter;          // closes the line after N blocks
    std::chrono::milliseconds replyDelay{0}; // every answer this much later
    // Answers every connect request it reads, copies included, each this much after it, and
    // takes what follows as the operation: a device slow to answer the connect request.
    std::optional<std::chrono::milliseconds> answerEvery;
    std::optional<int> flipBit; // upload: one bit of this data block corrupted
    // Answers the first connect request only and takes every byte after it as the operation's,
    // a copy of the request included, as a simple boot loader does.
    bool answerOnce = false;
    // A USB adapter's latency timer: what the device sends is passed on in bursts, when a timer
    // of this period fires; and, for `readLatency`, what the tool sends reaches the device so.
    std::chrono::milliseconds latency{0};
    std::chrono::milliseconds readLatency{0};
};

// Adds one fault written as NAME or NAME=ARG. False, with the reason in *error, for an unknown
// name, a missing or surplus argument, or an argument out of range.
bool AddFault(DeviceFaults &faults, const QString &faultText, QString *error);

struct FaultDoc {
    const char *usage;
    const char *effect;
};
inline constexpr int FaultCount = 15;
extern const FaultDoc FaultDocs[FaultCount];
