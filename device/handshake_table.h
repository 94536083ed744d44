#pragma once

#include "link/command_code.h"

// The device's side of the connect handshake. A download mode asks with its T code and is answered
// with the R code of the same kind; an upload mode asks with the R code of its kind and is
// answered with the T code.
inline constexpr CommandCode RequestOfMode[8] = {
    CommandCode::TSPO, CommandCode::TDPO, CommandCode::TFPO, CommandCode::TLPO,
    CommandCode::TAPO, CommandCode::RSPO, CommandCode::RDPO, CommandCode::RFPO};
inline constexpr CommandCode ReplyOfMode[8] = {
    CommandCode::RSPO, CommandCode::RDPO, CommandCode::RFPO, CommandCode::RLPO,
    CommandCode::RAPO, CommandCode::TSPO, CommandCode::TDPO, CommandCode::TFPO};

// The mode a connect request asks for; -1 when the code is no request.
constexpr int ModeOfRequest(CommandCode code) {
    for (int mode = 0; mode < 8; ++mode)
        if (RequestOfMode[mode] == code)
            return mode;
    return -1;
}
