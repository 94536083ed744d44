#pragma once

#include <QString>

#include <optional>

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

inline constexpr int StatusCodeCount = 21;

// The text of a code; empty for any value outside the table, negative ones included.
QString StatusText(int code);
inline QString StatusText(StatusCode code) {
    return StatusText(int(code));
}

// The code whose text this is, for a reader of a front end's output (a benchmark).
std::optional<StatusCode> StatusCodeOf(const QString &text);

// The one message for every port that will not open, whatever the cause.
inline constexpr const char PortUnavailableText[] =
    "The Port you selected is used by other application!";
