#pragma once

#include "link/command_code.h"
#include "link/transfer_mode.h"

#include <iterator>

// The connect handshake's request and reply for each mode. A download mode asks with its T code
// and is answered with the R code of the same kind; an upload mode asks with the R code of its
// kind and is answered with that kind's T code.
inline constexpr CommandCode RequestOfMode[] = {
    CommandCode::TSPO, CommandCode::TDPO, CommandCode::TFPO, CommandCode::TLPO,
    CommandCode::TAPO, CommandCode::RSPO, CommandCode::RDPO, CommandCode::RFPO};
inline constexpr CommandCode ReplyOfMode[] = {
    CommandCode::RSPO, CommandCode::RDPO, CommandCode::RFPO, CommandCode::RLPO,
    CommandCode::RAPO, CommandCode::TSPO, CommandCode::TDPO, CommandCode::TFPO};
static_assert(std::size(RequestOfMode) == TransferModeCount &&
              std::size(ReplyOfMode) == TransferModeCount);

// The mode a connect request asks for; -1 when the code is no request.
constexpr int ModeOfRequest(CommandCode code) {
    for (int mode = 0; mode < TransferModeCount; ++mode)
        if (RequestOfMode[mode] == code)
            return mode;
    return -1;
}
