#include "link/handshake.h"

#include "link/comm_error.h"
#include "link/frames.h"
#include "link/line.h"
#include "link/port_console.h"
#include "link/tmscomm.h"

namespace {
// A download mode asks with its T code and hears the R code of the same kind; an upload mode
// asks with the R code of its kind and hears the T code.
constexpr CommandCode SendCodes[] = {CommandCode::TSPO, CommandCode::TDPO, CommandCode::TFPO,
                                     CommandCode::TLPO, CommandCode::TAPO, CommandCode::RSPO,
                                     CommandCode::RDPO, CommandCode::RFPO};
constexpr CommandCode ExpectCodes[] = {CommandCode::RSPO, CommandCode::RDPO, CommandCode::RFPO,
                                       CommandCode::RLPO, CommandCode::RAPO, CommandCode::TSPO,
                                       CommandCode::TDPO, CommandCode::TFPO};
constexpr int Attempts = 2000; // the counter starts at 1: 1,999 requests at most
} // namespace

void JudgeUpdateItem(Line &line, int mode) {
    if (mode < 0 || mode > 7)
        return;
    line.SendCodeSlot = SendCodes[mode];
    line.ExpectCodeSlot = ExpectCodes[mode];
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
