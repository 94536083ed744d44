#include "cli/outcome.h"

#include "link/port_opening.h"
#include "ops/file_check.h"
#include "ops/status_text.h"

#include <QLatin1String>

namespace {

bool is(const QString &text, StatusCode code) {
    return text == StatusText(code);
}

// The step that a stage text belongs to, for an error that ended it without a failure text.
ExitCode stepOf(const QString &status) {
    if (status.isEmpty())
        return ExitCode::FileRefused; // the file could not even be read for its check
    if (is(status, StatusCode::Connecting))
        return ExitCode::ConnectFailed;
    if (is(status, StatusCode::Verify))
        return ExitCode::VerifyFailed;
    // Only an upload stands on this text: it was telling the device and saving the file.
    if (is(status, StatusCode::VerifySuccess))
        return ExitCode::FileNotSaved;
    if (is(status, StatusCode::EraseFlash) || is(status, StatusCode::EraseFlashSuccess))
        return ExitCode::EraseFailed;
    if (is(status, StatusCode::ProgramFlash) || is(status, StatusCode::ProgramFlashSuccess) ||
        is(status, StatusCode::EraseEepromSuccess))
        return ExitCode::ProgramFailed;
    return ExitCode::TransferFailed;
}

} // namespace

const char *ExitCodeMeaning(ExitCode code) {
    for (const ExitCodeInfo &info : ExitCodeTable) {
        if (info.code == int(code))
            return info.meaning;
    }
    return "failed";
}

ExitCode ClassifyOutcome(const OperationRecord &record) {
    const QString &status = record.lastStatus;
    if (is(status, StatusCode::UpdateSuccess) && !record.errorShown)
        return ExitCode::Success;
    if (record.interrupted)
        return ExitCode::Interrupted;
    if (record.errorShown) {
        if (record.errorText == QLatin1String(PortUnavailableText))
            return ExitCode::PortUnavailable;
        return stepOf(status);
    }
    for (const char *refusal : FileRefusalTexts) {
        if (status == QLatin1String(refusal))
            return ExitCode::FileRefused;
    }
    struct Failure {
        StatusCode text;
        ExitCode code;
    };
    static constexpr Failure failures[] = {
        {StatusCode::ConnectFailed, ExitCode::ConnectFailed},
        {StatusCode::TransferFailed, ExitCode::TransferFailed},
        {StatusCode::VerifyFailed, ExitCode::VerifyFailed},
        {StatusCode::EraseFlashFailed, ExitCode::EraseFailed},
        {StatusCode::ProgramFlashFailed, ExitCode::ProgramFailed},
        {StatusCode::SetUpFileFailed, ExitCode::FileNotSaved},
    };
    for (const Failure &f : failures) {
        if (is(status, f.text))
            return f.code;
    }
    // The operation ended without a verdict of its own: count it against the running step.
    return stepOf(status);
}
