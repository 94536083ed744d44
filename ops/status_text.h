#pragma once

#include <QString>

// The status line's fixed vocabulary, by number.
enum class StatusCode : int {
    Connecting,
    ConnectFailed,
    ConnectSuccess,
    Transfer,
    TransferFailed,
    TransferSuccess,
    Verify,
    VerifyFailed,
    VerifySuccess,
    EraseFlash,
    EraseFlashFailed,
    EraseFlashSuccess,
    ProgramFlash,
    ProgramFlashFailed,
    ProgramFlashSuccess,
    EraseEepromFailed,
    EraseEepromSuccess,
    UpdateFailed,
    UpdateSuccess,
    SetUpFileFailed,
    SetUpFileSuccess,
};

// The text of a code; empty for any value outside 0..20, negative ones included.
QString StatusText(int code);
inline QString StatusText(StatusCode code) {
    return StatusText(int(code));
}
