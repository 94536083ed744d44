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
    try {
        for (int attempt = 1;; ++attempt) {
            if (!line.MSComm.PortOpen() || attempt >= Attempts)
                return false;
            line.events.processEvents();
            SendCommand(line, line.SendCodeSlot);
            if (WaitReply(line, line.ExpectCodeSlot, AnswerPolls))
                return true;
        }
    } catch (const CommError &e) {
        // Reset or a mode change closed the port while the window handled its events.
        if (e.kind() == CommError::Kind::PortClosed)
            return false;
        throw;
    }
}
