#pragma once

#include <QString>

#include <iterator>

struct OperationResult;

// How an operation ended, as a script sees it.
enum class ExitCode : int {
    Success = 0,
    Usage = 1,
    FileRefused = 2,
    PortUnavailable = 3,
    ConnectFailed = 4,
    TransferFailed = 5,
    VerifyFailed = 6,
    EraseFailed = 7,
    ProgramFailed = 8,
    FileNotSaved = 9,
    SomeDevicesFailed = 10,
    ReadBackDiffers = 11,
    // The download image is not there (yet): a share mounted late. EX_TEMPFAIL's number: a
    // service tries again, where it gives up on a file refused.
    ImageNotThere = 75,
    Interrupted = 130,
};

struct ExitCodeInfo {
    ExitCode code;
    const char *meaning;
};

inline constexpr ExitCodeInfo ExitCodeTable[] = {
    {ExitCode::Success, "success"},
    {ExitCode::Usage, "usage error"},
    {ExitCode::FileRefused, "file refused"},
    {ExitCode::PortUnavailable, "port cannot be opened"},
    {ExitCode::ConnectFailed, "connect failed"},
    {ExitCode::TransferFailed, "transfer failed"},
    {ExitCode::VerifyFailed, "verify failed"},
    {ExitCode::EraseFailed, "erase failed"},
    {ExitCode::ProgramFailed, "program failed"},
    {ExitCode::FileNotSaved, "file not saved"},
    {ExitCode::SomeDevicesFailed, "some devices failed"},
    {ExitCode::ReadBackDiffers, "read-back differs"},
    {ExitCode::ImageNotThere, "image not there"},
    {ExitCode::Interrupted, "interrupted"},
};
static_assert(std::size(ExitCodeTable) == 14);

const char *ExitCodeMeaning(ExitCode code);

// The exit code of one operation: 0 only for the update's success; an interruption before a
// verdict was shown is 130; otherwise the step it ended in.
ExitCode ExitCodeOf(const OperationResult &result, bool interrupted);

// A board stopped by Stop, Escape or Ctrl-C before its verdict.
inline constexpr char StoppedResult[] = "stopped";

// What a board's end is called, in its record and wherever a front end shows it, one way for one
// ending: "Update Success!"; "stopped"; the failure text of the step it failed in, whether the
// device refused or was lost ("Transfer failed!" for both in the data); `refusal`, the file
// check's words, for a file it refused; else the exit code's words ("port cannot be opened"). A
// read-back that differs ends with "Update failed!", the verdict of the operation as a whole.
QString ResultText(ExitCode code, const OperationResult &result, const QString &refusal = {});
