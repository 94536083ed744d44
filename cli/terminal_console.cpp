#include "cli/terminal_console.h"

#include "cli/interrupt.h"
#include "cli/terminal_output.h"
#include "link/line.h"
#include "link/tmscomm.h"
#include "ops/status_text.h"
#include "ops/transfer_state.h"

TerminalConsole::TerminalConsole(const CliOptions &options, TerminalOutput &output)
    : options_(options), output_(output), progress_(output, options.mode) {}

void TerminalConsole::attach(Line &line, TransferState &state) {
    line_ = &line;
    state_ = &state;
}

void TerminalConsole::showError(const QString &text) {
    record_.errorShown = true;
    record_.errorText = text;
    output_.errorLine(QStringLiteral("torvane-cli: error: %1").arg(text));
}

void TerminalConsole::noteOpenFailure(const QString &cause) {
    output_.errorLine(QStringLiteral("torvane-cli: %1").arg(cause));
}

void TerminalConsole::processEvents() {
    if (Q_LIKELY(!InterruptRequested()) || record_.interrupted)
        return;
    interrupt();
}

// What the window's Reset does: the port closes under the operation, which then ends quietly
// at its next serial access; the file it was sending is let go.
void TerminalConsole::interrupt() {
    record_.interrupted = true;
    if (!state_ || !line_)
        return;
    state_->OperationAborted = true;
    line_->MSComm.setPortOpen(false);
    state_->ImageFileHandle.reset();
}

void TerminalConsole::showStatus(const QString &text) {
    record_.lastStatus = text;
    // A download acknowledges each block with "Transfer Success!" and its percentage right
    // after: only the one no percentage follows ends the phase and earns its line.
    if (text == StatusText(StatusCode::TransferSuccess)) {
        successHeld_ = true;
        return;
    }
    printHeldSuccess();
    print(text);
}

void TerminalConsole::printHeldSuccess() {
    if (successHeld_) {
        successHeld_ = false;
        print(StatusText(StatusCode::TransferSuccess));
    }
}

void TerminalConsole::print(const QString &text) {
    if (text == printed_)
        return;
    printed_ = text;
    progress_.settle();
    if (text == StatusText(StatusCode::Connecting) && connecting_ == Clock::time_point())
        connecting_ = Clock::now();
    else if (text == StatusText(StatusCode::UpdateSuccess))
        finished_ = Clock::now();
    else if (text == StatusText(StatusCode::Transfer))
        progress_.reset();
    output_.statusLine(text);
}

void TerminalConsole::showProgressText(const QString &text) {
    successHeld_ = false;
    progress_.showText(text);
}

void TerminalConsole::Progress(int, int) {
    progress_.step();
    processEvents();
}

void TerminalConsole::setProgressPosition(int position) {
    if (position == 0)
        progress_.reset();
}

void TerminalConsole::finish() {
    printHeldSuccess();
    progress_.settle();
}

TerminalConsole::Clock::duration TerminalConsole::operationTime() const {
    if (connecting_ == Clock::time_point() || finished_ < connecting_)
        return Clock::duration::zero();
    return finished_ - connecting_;
}
