#include "link/handshake.h"

#include "link/comm_error.h"
#include "link/event_pump.h"
#include "link/frames.h"
#include "link/handshake_codes.h"
#include "link/line.h"
#include "link/serial_line.h"
#include "link/tmscomm.h"

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int Attempts = 2000; // the counter starts at 1: 1,999 requests at most
// A USB adapter holds what the device sends until its latency timer fires (16 ms by default on
// the common ones) or its buffer fills. Any port may be such an adapter, or a bridge to one; a
// port whose adapter says its timer is longer is given that.
constexpr milliseconds AdapterLatency{40};
// A device's time to read a request and begin its answer.
constexpr milliseconds Turnaround{15};
// The first request is given longer: a board that is there answers it, and one slow to answer
// it (busy after its reset, behind a loaded hub, its answer held each way) is then asked once.
// The time comes out of the two minutes' slack, not out of the later requests' waits.
constexpr qint32 FirstAnswerPolls = 500;
// However long each request waits, a device that never answers is given up within two minutes
// (1,999 requests take about 115 s where the adapter says nothing of its timer).
constexpr std::chrono::minutes HandshakeLimit{2};

int bitsPerByte(const LineSettings &settings) {
    const int parity = settings.parity == LineSettings::Parity::None ? 0 : 1;
    const int stop = settings.stopBits == LineSettings::StopBits::One ? 1 : 2;
    return 1 + settings.dataBits + parity + stop;
}

// An answer that came just after the last request's wait ended is taken: the purge ahead of
// another request would throw it away, and a device asked again may take the request for data.
bool takeLateAnswer(Line &line) {
    return line.LastReply.end == ReplySeen::End::NoReply &&
           line.MSComm.InBufferCount() >= FrameLength && WaitReply(line, line.ExpectCodeSlot, 1);
}

// An answer partly there when the wait ends is on its way: its rest is waited for rather than
// purged by the next request.
bool awaitAnswer(Line &line, qint32 polls) {
    if (WaitReply(line, line.ExpectCodeSlot, polls))
        return true;
    if (line.LastReply.end != ReplySeen::End::NoReply || line.LastReply.received.isEmpty())
        return false;
    return WaitReply(line, line.ExpectCodeSlot, polls);
}

} // namespace

qint32 AnswerPolls(const TMSComm &comm) {
    LineSettings settings;
    ParseLineSettings(comm.Settings(), &settings);
    const qint64 bits = qint64(2) * FrameLength * bitsPerByte(settings);
    const auto wire = std::chrono::microseconds(bits * 1000000 / std::max(settings.baud, 1));
    const milliseconds latency =
        std::max(AdapterLatency, comm.AdapterLatency().value_or(AdapterLatency));
    const auto total = wire + latency + Turnaround;
    return qint32((total + milliseconds(1) - std::chrono::microseconds(1)) / milliseconds(1));
}

void JudgeUpdateItem(Line &line, TransferMode mode) {
    const auto index = unsigned(mode);
    if (index >= unsigned(TransferModeCount))
        return;
    line.SendCodeSlot = RequestOfMode[index];
    line.ExpectCodeSlot = ReplyOfMode[index];
}

bool ConnectDevice(Line &line, TransferMode mode, Handshake *learnt) {
    JudgeUpdateItem(line, mode);
    Handshake local;
    Handshake &handshake = learnt ? *learnt : local;
    handshake = {};
    const Clock::time_point started = Clock::now();
    const auto end = [&](bool connected) {
        handshake.took = Clock::now() - started;
        // The copies come as far apart as the requests went: each is given the longest wait.
        if (connected && handshake.requests > 1)
            handshake.copies =
                ReplyCopies(line.ExpectCodeSlot, handshake.requests - 1, FirstAnswerPolls);
        return connected;
    };
    try {
        for (int attempt = 1;; ++attempt) {
            if (!line.MSComm.PortOpen() || attempt >= Attempts ||
                (attempt > 1 && Clock::now() - started >= HandshakeLimit))
                return end(false);
            line.events.processEvents();
            if (handshake.requests > 0 && takeLateAnswer(line))
                return end(true);
            SendCommand(line, line.SendCodeSlot);
            ++handshake.requests;
            const qint32 polls = AnswerPolls(line.MSComm);
            if (awaitAnswer(line,
                            handshake.requests == 1 ? std::max(polls, FirstAnswerPolls) : polls))
                return end(true);
        }
    } catch (const CommError &e) {
        // Reset or a mode change closed the port while the window handled its events.
        if (e.kind() == CommError::Kind::PortClosed)
            return end(false);
        throw;
    }
}
