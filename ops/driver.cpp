#include "ops/driver.h"

#include "link/comm_error.h"
#include "link/frames.h"
#include "link/handshake.h"
#include "link/line.h"
#include "link/port_opening.h"
#include "link/tmscomm.h"
#include "link/transfer_mode.h"
#include "ops/download.h"
#include "ops/file_check.h"
#include "ops/operation_errors.h"
#include "ops/show_status.h"
#include "ops/transfer_state.h"
#include "ops/upload.h"

#include <QScopeGuard>

namespace {

// Replies the device gives after a download, and how many polls each may take.
constexpr qint32 VerifyPolls = 100000;
constexpr qint32 ErasePolls = 100000;
constexpr qint32 ProgramPolls = 150000;
// The window stands still this long after a failed connect and after an upload.
constexpr int SettleMs = 2000;

// A failure text is written without letting the window catch up; the panel comes back.
void Fail(OperatorConsole &console, StatusCode code) {
    console.showStatus(StatusText(code));
    console.setInputPanelEnabled(true);
}

void Download(Line &line, TransferState &state, OperatorConsole &console, qint32 size) {
    if (!TransferData(line, state, console, size))
        return Fail(console, StatusCode::TransferFailed);
    console.setProgressPosition(0);
    if (!TransferCrc(line, state, console, size))
        return Fail(console, StatusCode::TransferFailed);
    Show(console, StatusCode::TransferSuccess);

    console.setProgressPosition(0);
    Show(console, StatusCode::Verify);
    if (!WaitReply(line, CommandCode::RCVS, CommandCode::RCVF, VerifyPolls))
        return Fail(console, StatusCode::VerifyFailed);
    Show(console, StatusCode::VerifySuccess);

    Show(console, StatusCode::EraseFlash);
    if (!WaitReply(line, CommandCode::REFS, CommandCode::REFF, ErasePolls))
        return Fail(console, StatusCode::EraseFlashFailed);
    Show(console, StatusCode::EraseFlashSuccess);

    console.setProgressPosition(0);
    Show(console, StatusCode::ProgramFlash);
    if (!WaitReply(line, CommandCode::RWFS, CommandCode::RWFF, ProgramPolls))
        return Fail(console, StatusCode::ProgramFlashFailed);
    Show(console, StatusCode::ProgramFlashSuccess);
    // The device erases its eeprom as part of programming; there is no step of its own.
    Show(console, StatusCode::EraseEepromSuccess);
    Show(console, StatusCode::UpdateSuccess);
    console.setInputPanelEnabled(true);
}

void Upload(Line &line, TransferState &state, OperatorConsole &console, qint32 size) {
    if (!ReceiveData(line, state, console, size))
        return Fail(console, StatusCode::TransferFailed);
    Show(console, StatusCode::TransferSuccess);

    console.setProgressPosition(0);
    Show(console, StatusCode::Verify);
    if (!VerifyReceivedData(line, state, size))
        return Fail(console, StatusCode::VerifyFailed);
    Show(console, StatusCode::VerifySuccess);

    // In an upload the tool plays the device's part: erase and program are reported done.
    SendCommand(line, CommandCode::REFS);
    SendCommand(line, CommandCode::RWFS);
    if (!SaveReceiveData(state, console, size))
        return Fail(console, StatusCode::SetUpFileFailed);
    Show(console, StatusCode::UpdateSuccess);
    console.standStill(SettleMs);
    console.setInputPanelEnabled(true);
}

void Run(Line &line, TransferState &state, OperatorConsole &console) {
    state.OperationAborted = false;
    const int mode = console.selectedMode();
    const qint32 size = ImageSize(mode);
    if (!CheckImageFile(console, mode))
        return;
    if (!OpenComPort(line))
        return;
    console.setProgressPosition(0);
    Show(console, StatusCode::Connecting);
    const bool connected = ConnectDevice(line, console.selectedMode());
    // Reset and a mode change have already cleared the status line: end without a word, also
    // when a port picked after them let the handshake succeed after all.
    if (state.OperationAborted)
        return;
    if (!connected) {
        console.showStatus(StatusText(StatusCode::ConnectFailed));
        console.standStill(SettleMs);
        return;
    }
    console.setInputPanelEnabled(false);
    Show(console, StatusCode::ConnectSuccess);
    Show(console, StatusCode::Transfer);
    // Reset while those texts were shown: the port is closed and the panel is back.
    if (state.OperationAborted)
        return;
    if (IsUpload(console.selectedMode()))
        Upload(line, state, console, size);
    else
        Download(line, state, console, size);
}

} // namespace

void RunOperation(Line &line, TransferState &state, OperatorConsole &console) {
    // A second Start while one runs (during the handshake, or after Reset gave the panel back
    // in the middle of a transfer) would run an operation inside the running one.
    if (state.OperationRunning)
        return;
    state.OperationRunning = true;
    const auto done = qScopeGuard([&] {
        state.ImageFileHandle.reset();
        state.OperationRunning = false;
    });
    try {
        Run(line, state, console);
    } catch (const CommError &e) {
        // Reset closed the port under the operation: it ends here, quietly.
        if (e.kind() == CommError::Kind::PortClosed)
            return;
        if (!line.MSComm.PortOpen())
            console.setPortLamp(false);
        console.setInputPanelEnabled(true);
        console.showError(e.message());
    } catch (const OperationCancelled &) {
    } catch (const FileError &e) {
        console.setInputPanelEnabled(true);
        console.showError(e.message());
    } catch (const std::exception &e) {
        console.setInputPanelEnabled(true);
        console.showError(QString::fromLocal8Bit(e.what()));
    }
}
