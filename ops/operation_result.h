#pragma once

#include "ops/status_text.h"

#include <QString>

#include <chrono>
#include <optional>

// How far an operation came: the step it ended in.
enum class Stage {
    FileCheck,
    PortOpening,
    Connect,
    Data, // a download's data blocks, or an upload's blocks
    ChecksumTable,
    Verify,
    Erase,
    Program,
    Save,
    Compare, // a read-back's image against the file
    Done,
};

enum class Ending {
    Completed,       // ran to its verdict: "Update Success!" or a step's failure text
    FileRefused,     // the file check refused the file
    PortUnavailable, // the port would not open
    Error,           // an error box ended it (a lost device, a file that could not be read)
    Aborted,         // Reset, a change of mode or an interruption ended it quietly
    NotStarted,      // an operation was already running
};

struct OperationResult {
    Stage stage = Stage::FileCheck;
    Ending ending = Ending::NotStarted;
    std::optional<StatusCode> status; // the verdict shown last, when the operation showed one
    QString cause;                    // why it failed, in plain words, for a row or a line
    QString detail;                   // the cause and what lay behind it, for a log or stderr
    // How the connect went, once it was tried: the requests sent and the time until the device
    // answered (or the handshake gave up). A slow device or a bad adapter shows here first.
    int connectRequests = 0;
    std::chrono::steady_clock::duration connectTime{};

    bool succeeded() const {
        return ending == Ending::Completed && status == StatusCode::UpdateSuccess;
    }
};
