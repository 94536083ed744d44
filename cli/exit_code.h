#pragma once

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
    Interrupted = 130,
};

struct ExitCodeInfo {
    int code;
    const char *meaning;
};

inline constexpr ExitCodeInfo ExitCodeTable[] = {
    {0, "success"},        {1, "usage error"},
    {2, "file refused"},   {3, "port cannot be opened"},
    {4, "connect failed"}, {5, "transfer failed"},
    {6, "verify failed"},  {7, "erase failed"},
    {8, "program failed"}, {9, "file not saved"},
    {130, "interrupted"},
};

const char *ExitCodeMeaning(ExitCode code);
