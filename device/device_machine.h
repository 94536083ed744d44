#pragma once

#include "device/device_faults.h"
#include "device/frame_scanner.h"
#include "device/image_kind.h"
#include "link/checksum.h"
#include "link/command_code.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

class ImageStore;

struct DeviceSettings {
    std::chrono::milliseconds eraseTime{300};
    std::chrono::milliseconds programTime{500};
    // Paces the wire as an 8E1 line at this rate (11 bits a byte); 0 for no pacing.
    qint32 paceBaud = 0;
    DeviceFaults faults;
};

// The device's side of the wire protocol, with no I/O of its own: it is fed the bytes the tool
// sends and the passing of time, and hands back the bytes to send, each at its time.
class DeviceMachine {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;
    enum class Direction { Received, Sent, Note };
    using TraceSink = std::function<void(Time, Direction, const QString &)>;

    // The tool writes a block in one piece. A partial block that has waited this long and ends in
    // a connect request is that request: the tool has given up the transfer and starts again.
    static constexpr std::chrono::milliseconds BlockGap{5};
    // Answers not yet sent are held up to this much; what the tool sends meanwhile is dropped, as
    // a device's receiver overruns when the tool never reads. One piece of input adds at most an
    // answer and a block, so the queue never holds more than MaxQueuedBytes.
    static constexpr qsizetype QueueLimit = 64 * 1024;
    // The tool asks again when an answer is slow to reach it: a copy of the request answered,
    // coming while the answer goes out or this soon after, or among the first MaxCopies after it,
    // is that, and is drained, until the tool lets go of the port. A request later than both
    // starts the operation again. Counted as well as timed: a device kept from running reads the
    // copies late, but no more of them.
    static constexpr std::chrono::milliseconds CopyWindow{500};
    static constexpr int MaxCopies = 32;
    // answer-every: an upload's first block goes out once the tool has been this quiet after the
    // last answer; until then each copy of the request is answered again.
    static constexpr std::chrono::milliseconds AnswerQuiet{50};
    static constexpr qsizetype MaxQueuedBytes = QueueLimit + 1 + FrameLength + BlockSize;

    DeviceMachine(const DeviceSettings &settings, ImageStore &store);

    // Takes bytes that arrived at `now`; returns what is due to be sent by then.
    QByteArray feed(const char *data, qsizetype size, Time now);
    QByteArray feed(const QByteArray &data, Time now) {
        return feed(data.constData(), data.size(), now);
    }
    // Lets time pass; returns what is due to be sent by `now`.
    QByteArray tick(Time now);
    // When tick() next has something to do; nothing while the device only waits for the tool.
    std::optional<Time> nextWake() const;

    // The tool has closed the port: what it asks next is a new operation's request, never a copy.
    void toolLetGo() { toolLetGo_ = true; }

    // The line has been hung up (hangup-after): nothing more is taken or sent.
    bool lineClosed() const { return lineClosed_; }
    // Operations that have run to their end, successful or not (not those given up half-way).
    int operationsEnded() const { return operationsEnded_; }
    // No operation under way and nothing left to send.
    bool idle() const { return phase_ == Phase::Idle && queue_.empty(); }
    // Bytes of answers waiting for their time.
    qsizetype queuedBytes() const { return queuedBytes_; }
    // Bytes from the tool dropped because too much waited to be sent (QueueLimit).
    qint64 inputDropped() const { return inputDropped_; }

    void setTraceSink(TraceSink sink) { trace_ = std::move(sink); }
    // What the operator should hear of even without a trace: the tool's frames lost on the way,
    // input dropped. Also in the trace.
    void setWarningSink(std::function<void(const QString &)> sink) { warn_ = std::move(sink); }

private:
    enum class Phase {
        Idle,
        Receiving,    // download: data blocks, then checksum blocks
        Erasing,      // download: verified, erasing
        Programming,  // download: erased, programming
        Sending,      // upload: a block is out, waiting for the tool's RRSS
        AwaitVerdict, // upload: all blocks acknowledged, waiting for RCVS or RCVF
        AwaitFlash,   // upload: RCVS came, waiting for REFS and RWFS
        Stalled,      // stop-after: silent until the tool gives up or starts again
        HangingUp,    // hangup-after: the line closes once what is queued has left
    };
    struct Outgoing {
        Time due;
        QByteArray bytes;
        QString label;
        bool hangUp = false;
    };

    void take(const char *data, qsizetype size, Time now);
    void onFrame(CommandCode code, Time at);
    void onRequest(CommandCode code, Time at);
    bool isCopy(int mode, Time at) const;
    void answerCopy(Time at);
    void onBlock(Time at);
    void takeBlock(int skip, Time at);
    int repeatsAheadOfFirstBlock() const;
    void onDeadline(Time at);
    void checkPartialBlock(Time at);
    void startOperation(int mode, Time at);
    void sendUploadBlock(Time at);
    void verifyDownload(Time at);
    bool faultStopsHere(Time at);
    void endOperation(Time at, const QString &why);
    void abandon(Time at);

    Time send(Time earliest, const QByteArray &bytes, const QString &label);
    Time send(Time earliest, CommandCode code);
    std::chrono::nanoseconds lineTime(qsizetype bytes) const;
    Time burstAt(Time t, std::chrono::milliseconds period) const;
    bool tracing() const { return bool(trace_); }
    void note(Time at, const QString &text);
    void warn(Time at, const QString &text);
    void traceSkipped(Time at);
    QString operationName() const;

    DeviceSettings settings_;
    ImageStore &store_;
    TraceSink trace_;
    std::function<void(const QString &)> warn_;

    Phase phase_ = Phase::Idle;
    int mode_ = -1;
    ImageKind kind_ = ImageKind::Software;
    int dataBlocks_ = 0;
    int totalBlocks_ = 0;
    int block_ = 0;  // the block expected (download) or last sent (upload)
    int passed_ = 0; // blocks that went through in this operation
    QByteArray image_;
    QByteArray table_; // the checksum table in its wire layout
    std::vector<quint32> crcs_;

    static constexpr int MaxRepeatsAhead = 16;
    static constexpr int HeldBlockSize = BlockSize + MaxRepeatsAhead * FrameLength;

    FrameScanner scanner_;
    std::array<quint8, HeldBlockSize> partial_{}; // the block arriving, maybe behind requests
    Block blockBytes_{};                          // the block taken
    int partialFill_ = 0;
    Time partialSince_{};
    bool partialChecked_ = false;

    std::optional<Time> deadline_;      // end of the erase or program time
    Time answered_{};                   // when the answer to the connect request (or a copy) leaves
    std::optional<Time> firstBlockDue_; // answer-every: an upload's block 0, held back
    int copiesAnswered_ = 0;            // answer-every: copies ahead of a download's block 0
    int copiesSinceAnswer_ = 0;         // copies of the request drained or answered again
    bool toolLetGo_ = false;            // the tool closed the port since the answer
    Time rxFree_{};                     // paced: when the tool's last byte has arrived
    Time txFree_{};                     // paced: when our last byte has left
    std::deque<Outgoing> queue_;
    struct Incoming {
        Time due;
        QByteArray bytes;
    };
    std::deque<Incoming> heldInput_; // read-latency: what the tool sent, until the timer fires
    qsizetype heldBytes_ = 0;
    std::optional<Time> timerStart_; // latency: when the adapter's timer began
    qsizetype queuedBytes_ = 0;
    qint64 inputDropped_ = 0;

    bool strayArmed_ = false;
    bool lineClosed_ = false;
    int operationsEnded_ = 0;
};
