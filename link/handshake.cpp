#include "link/handshake.h"

#include "link/comm_error.h"
#include "link/frames.h"
#include "link/handshake_codes.h"
#include "link/line.h"
#include "link/port_console.h"
#include "link/tmscomm.h"

namespace {
constexpr int Attempts = 2000; // the counter starts at 1: 1,999 requests at most
} // namespace

void JudgeUpdateItem(Line &line, int mode) {
    if (mode < 0 || mode > 7)
        return;
    line.SendCodeSlot = RequestOfMode[mode];
    line.ExpectCodeSlot = ReplyOfMode[mode];
}

bool ConnectDevice(Line &line, int mode) {
    JudgeUpdateItem(line, mode);
    try {
        for (int attempt = 1;; ++attempt) {
            if (!line.MSComm.PortOpen() || attempt >= Attempts)
                return false;
            line.console.processEvents();
            SendCommand(line, line.SendCodeSlot);
            if (WaitReply(line, line.ExpectCodeSlot, CommandCode::TDPO, 10))
                return true;
        }
    } catch (const CommError &e) {
        // Reset or a mode change closed the port while the window handled its events.
        if (e.kind() == CommError::Kind::PortClosed)
            return false;
        throw;
    }
}
