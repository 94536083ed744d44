#include "link/handshake.h"

#include "link/comm_error.h"
#include "link/event_pump.h"
#include "link/frames.h"
#include "link/handshake_codes.h"
#include "link/line.h"
#include "link/tmscomm.h"

namespace {
constexpr int Attempts = 2000; // the counter starts at 1: 1,999 requests at most
// How many polls each request waits for the device's answer before it is sent again.
constexpr qint32 AnswerPolls = 10;
} // namespace

void JudgeUpdateItem(Line &line, TransferMode mode) {
    const auto index = unsigned(mode);
    if (index >= unsigned(TransferModeCount))
        return;
    line.SendCodeSlot = RequestOfMode[index];
    line.ExpectCodeSlot = ReplyOfMode[index];
}

bool ConnectDevice(Line &line, TransferMode mode) {
    JudgeUpdateItem(line, mode);
    line.ReplyMayRepeat = false;
    int &requests = line.ConnectRequests;
    requests = 0;
    try {
        for (int attempt = 1;; ++attempt) {
            if (!line.MSComm.PortOpen() || attempt >= Attempts)
                return false;
            line.events.processEvents();
            // An answer that came just after the last attempt's polls ran out is taken: the
            // purge ahead of another request would throw it away, and the device, asked again,
            // would answer again.
            if (requests > 0 && line.LastReply.end == ReplySeen::End::NoReply &&
                line.MSComm.InBufferCount() >= FrameLength &&
                WaitReply(line, line.ExpectCodeSlot, 1)) {
                line.ReplyMayRepeat = requests > 1;
                return true;
            }
            SendCommand(line, line.SendCodeSlot);
            ++requests;
            if (WaitReply(line, line.ExpectCodeSlot, AnswerPolls)) {
                line.ReplyMayRepeat = requests > 1;
                return true;
            }
        }
    } catch (const CommError &e) {
        // Reset or a mode change closed the port while the window handled its events.
        if (e.kind() == CommError::Kind::PortClosed)
            return false;
        throw;
    }
}
