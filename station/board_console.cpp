#include "station/board_console.h"

#include "link/line.h"
#include "link/tmscomm.h"
#include "ops/transfer_state.h"
#include "station/console_output.h"

#include <QThread>

BoardConsole::BoardConsole(ConsoleOutput &output, const StopFlag *stop)
    : output_(output), progress_(output), stop_(stop) {}

void BoardConsole::attach(Line &line, TransferState &state) {
    line_ = &line;
    state_ = &state;
}

void BoardConsole::beginStep(const QString &label) {
    progress_.settle();
    stepsBlockTime_ += lastBlock_ - firstPhase_;
    firstPhase_ = lastBlock_ = Clock::time_point();
    printed_.clear();
    progress_.setLabel(label);
    if (!label.isEmpty())
        output_.stepStarted(label);
}

// The window's box says the same whatever the cause; a line of a script says the cause.
void BoardConsole::showError(const QString &text, const QString &cause) {
    output_.errorBox(cause.isEmpty() ? text : cause);
}

void BoardConsole::standStill(int ms) {
    using namespace std::chrono;
    const auto until = steady_clock::now() + milliseconds(ms);
    while (!StopRequested(stop_) && steady_clock::now() < until)
        QThread::msleep(20);
}

void BoardConsole::processEvents() {
    if (Q_LIKELY(!StopRequested(stop_)) || interrupted_)
        return;
    interrupt();
}

// What the window's Reset does: the port closes under the operation, which then ends quietly
// at its next serial access; the file it was sending is let go.
void BoardConsole::interrupt() {
    interrupted_ = true;
    if (!state_ || !line_)
        return;
    state_->OperationAborted = true;
    line_->MSComm.setPortOpen(false);
    state_->ImageFileHandle.reset();
}

void BoardConsole::statusShown(StatusCode code) {
    // A download acknowledges each block of a phase with "Transfer Success!": only the one that
    // follows the whole phase earns its line.
    if (code == StatusCode::TransferSuccess && progress_.active())
        return;
    if (code == StatusCode::Connecting && connecting_ == Clock::time_point())
        connecting_ = Clock::now();
    else if (code == StatusCode::UpdateSuccess)
        finished_ = Clock::now();
    // The success is kept (its record on the disk) before it is shown: whoever sees the line and
    // ends the program then finds the record.
    if (code == StatusCode::UpdateSuccess && onSuccess_)
        onSuccess_();
    print(StatusText(code));
}

void BoardConsole::fileRefused(FileRefusal reason) {
    print(QLatin1String(FileRefusalText(reason)));
}

void BoardConsole::print(const QString &text) {
    progress_.settle();
    if (text == printed_)
        return;
    printed_ = text;
    output_.statusLine(text);
}

void BoardConsole::phaseStarted(Phase phase, int totalBlocks) {
    if (firstPhase_ == Clock::time_point())
        firstPhase_ = lastBlock_ = Clock::now();
    progress_.start(phase, totalBlocks);
    output_.blockProgress({phase, 0, totalBlocks, 0, 0});
}

void BoardConsole::blockDone(const BlockProgress &progress) {
    ++blocks_;
    lastBlock_ = Clock::now();
    progress_.step(progress);
    output_.blockProgress(progress);
}

void BoardConsole::Progress(int, int) {
    processEvents();
}

void BoardConsole::finish() {
    progress_.settle();
}

BoardConsole::Clock::duration BoardConsole::operationTime() const {
    if (connecting_ == Clock::time_point() || finished_ < connecting_)
        return Clock::duration::zero();
    return finished_ - connecting_;
}
