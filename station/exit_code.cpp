#include "station/exit_code.h"

#include "ops/operation_result.h"

const char *ExitCodeMeaning(ExitCode code) {
    for (const ExitCodeInfo &info : ExitCodeTable) {
        if (info.code == code)
            return info.meaning;
    }
    return "failed";
}

ExitCode ExitCodeOf(const OperationResult &result, bool interrupted) {
    if (result.succeeded())
        return ExitCode::Success;
    // A verdict shown before the interruption stands ("Connect failed!" in the pause after it).
    if (interrupted && result.ending != Ending::Completed)
        return ExitCode::Interrupted;
    if (result.ending == Ending::FileRefused)
        return ExitCode::FileRefused;
    if (result.ending == Ending::PortUnavailable)
        return ExitCode::PortUnavailable;
    // A failure text, a lost device or another error counts against the step it came in.
    static constexpr ExitCode byStage[] = {
        ExitCode::FileRefused,     // FileCheck: the file could not even be read for its check
        ExitCode::PortUnavailable, // PortOpening
        ExitCode::ConnectFailed,   // Connect
        ExitCode::TransferFailed,  // Data
        ExitCode::TransferFailed,  // ChecksumTable
        ExitCode::VerifyFailed,    // Verify
        ExitCode::EraseFailed,     // Erase
        ExitCode::ProgramFailed,   // Program
        ExitCode::FileNotSaved,    // Save
        ExitCode::FileNotSaved,    // Done: only an upload's save can fail after its last step
    };
    static_assert(std::size(byStage) == int(Stage::Done) + 1);
    return byStage[int(result.stage)];
}
