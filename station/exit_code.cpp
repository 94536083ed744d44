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
        ExitCode::ReadBackDiffers, // Compare
        ExitCode::FileNotSaved,    // Done: only an upload's save can fail after its last step
    };
    static_assert(std::size(byStage) == int(Stage::Done) + 1);
    return byStage[int(result.stage)];
}

QString ResultText(ExitCode code, const OperationResult &result, const QString &refusal) {
    if (code == ExitCode::Interrupted)
        return QLatin1String(StoppedResult);
    if (result.ending == Ending::Completed && result.status)
        return StatusText(*result.status);
    if (result.ending == Ending::FileRefused && !refusal.isEmpty())
        return refusal;
    // The verdict the step would have shown, had the device answered at all.
    if (result.ending == Ending::Error) {
        switch (result.stage) {
        case Stage::Connect:
            return StatusText(StatusCode::ConnectFailed);
        case Stage::Data:
        case Stage::ChecksumTable:
            return StatusText(StatusCode::TransferFailed);
        case Stage::Verify:
            return StatusText(StatusCode::VerifyFailed);
        case Stage::Erase:
            return StatusText(StatusCode::EraseFlashFailed);
        case Stage::Program:
            return StatusText(StatusCode::ProgramFlashFailed);
        case Stage::Save:
            return StatusText(StatusCode::SetUpFileFailed);
        case Stage::Compare:
            return StatusText(StatusCode::UpdateFailed);
        case Stage::FileCheck:
        case Stage::PortOpening:
        case Stage::Done:
            break;
        }
    }
    return QLatin1String(ExitCodeMeaning(code));
}
