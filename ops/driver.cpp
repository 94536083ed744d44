#include "ops/driver.h"

#include "link/comm_error.h"
#include "link/frames.h"
#include "link/handshake.h"
#include "link/line.h"
#include "link/port_opening.h"
#include "link/tmscomm.h"
#include "ops/download.h"
#include "ops/failure_cause.h"
#include "ops/file_check.h"
#include "ops/operation_errors.h"
#include "ops/panel_view.h"
#include "ops/read_back.h"
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

void EnablePanel(ProgressSink &sink, bool enabled) {
    if (PanelView *panel = sink.panel())
        panel->setInputPanelEnabled(enabled);
}

void ShowLamp(ProgressSink &sink, bool open) {
    if (PanelView *panel = sink.panel())
        panel->setPortLamp(open);
}

void EmptyBar(ProgressSink &sink) {
    if (PanelView *panel = sink.panel())
        panel->setProgressPosition(0);
}

class Operation {
public:
    Operation(Line &line, TransferState &state, const OperationRequest &request, ProgressSink &sink,
              const RequestSource &live)
        : line_(line), state_(state), request_(request), sink_(sink), live_(live) {}

    void run();
    OperationResult &result() { return result_; }

private:
    OperationRequest now() const { return live_ ? live_() : request_; }
    void reach(Stage stage) { result_.stage = stage; }
    // A verdict shown on the status line ends the operation.
    void end(StatusCode code) {
        result_.ending = Ending::Completed;
        result_.status = code;
    }
    // A failure text is written without letting the window catch up; the panel comes back.
    void fail(StatusCode code) {
        sink_.statusShown(code);
        EnablePanel(sink_, true);
        end(code);
    }
    void failBecause(StatusCode code, const Failure &why) {
        result_.cause = why.cause;
        result_.detail = why.detail;
        fail(code);
    }
    // A reply after the checksum table that did not come as `expected`.
    bool confirmed(CommandCode expected, CommandCode refusal, qint32 polls, StatusCode failed,
                   const char *refused) {
        if (WaitReply(line_, expected, polls))
            return true;
        failBecause(failed,
                    StepNotConfirmed(line_.LastReply, expected, refusal, QLatin1String(refused)));
        return false;
    }
    void download(qint32 size);
    void upload(qint32 size);

    Line &line_;
    TransferState &state_;
    const OperationRequest &request_;
    ProgressSink &sink_;
    const RequestSource &live_;
    OperationResult result_;
    Handshake handshake_;
};

void Operation::download(qint32 size) {
    reach(Stage::Data);
    Failure why;
    const bool sent =
        request_.image
            ? TransferImage(line_, state_, sink_, size, *request_.image, &why, &handshake_.copies)
            : TransferData(line_, state_, sink_, size, now().file, &why, &handshake_.copies);
    if (!sent)
        return failBecause(StatusCode::TransferFailed, why);
    EmptyBar(sink_);
    reach(Stage::ChecksumTable);
    if (!TransferCrc(line_, state_, sink_, size, &why))
        return failBecause(StatusCode::TransferFailed, why);
    Show(sink_, StatusCode::TransferSuccess);

    EmptyBar(sink_);
    reach(Stage::Verify);
    Show(sink_, StatusCode::Verify);
    if (!confirmed(CommandCode::RCVS, CommandCode::RCVF, VerifyPolls, StatusCode::VerifyFailed,
                   "found the checksums wrong"))
        return;
    Show(sink_, StatusCode::VerifySuccess);

    reach(Stage::Erase);
    Show(sink_, StatusCode::EraseFlash);
    if (!confirmed(CommandCode::REFS, CommandCode::REFF, ErasePolls, StatusCode::EraseFlashFailed,
                   "could not erase its flash"))
        return;
    Show(sink_, StatusCode::EraseFlashSuccess);

    EmptyBar(sink_);
    reach(Stage::Program);
    Show(sink_, StatusCode::ProgramFlash);
    if (!confirmed(CommandCode::RWFS, CommandCode::RWFF, ProgramPolls,
                   StatusCode::ProgramFlashFailed, "could not program its flash"))
        return;
    Show(sink_, StatusCode::ProgramFlashSuccess);
    // The device erases its eeprom as part of programming; there is no step of its own.
    Show(sink_, StatusCode::EraseEepromSuccess);
    reach(Stage::Done);
    Show(sink_, StatusCode::UpdateSuccess);
    end(StatusCode::UpdateSuccess);
    EnablePanel(sink_, true);
}

void Operation::upload(qint32 size) {
    reach(Stage::Data);
    Failure why;
    if (!ReceiveData(line_, state_, sink_, size, &why, &handshake_.copies))
        return failBecause(StatusCode::TransferFailed, why);
    Show(sink_, StatusCode::TransferSuccess);

    EmptyBar(sink_);
    reach(Stage::Verify);
    Show(sink_, StatusCode::Verify);
    if (!VerifyReceivedData(line_, state_, size, &why))
        return failBecause(StatusCode::VerifyFailed, why);
    Show(sink_, StatusCode::VerifySuccess);

    // In an upload the tool plays the device's part: erase and program are reported done.
    reach(Stage::Save);
    SendCommand(line_, CommandCode::REFS);
    SendCommand(line_, CommandCode::RWFS);
    if (request_.readBack()) {
        // The blocks came whole ("Verify Success!"): what is judged now is whether the device
        // holds the file, and its verdict is the operation's own.
        reach(Stage::Compare);
        if (const auto why = ReadBackDiffers(state_, request_.mode, *request_.image, request_.file))
            return failBecause(StatusCode::UpdateFailed, *why);
    } else {
        const OperationRequest choice = now();
        if (!SaveReceiveData(state_, size, choice.file, choice.createNewFile, &result_.detail))
            return fail(StatusCode::SetUpFileFailed);
    }
    reach(Stage::Done);
    Show(sink_, StatusCode::UpdateSuccess);
    end(StatusCode::UpdateSuccess);
    sink_.standStill(SettleMs);
    EnablePanel(sink_, true);
}

void Operation::run() {
    state_.OperationAborted = false;
    const qint32 size = ImageSize(request_.mode);
    reach(Stage::FileCheck);
    // An image held is judged by its size, for a download as for a read-back.
    const bool checked =
        request_.image
            ? CheckImageSize(sink_, request_.mode, request_.image->size(), &result_.detail)
            : CheckImageFile(sink_, request_.mode, request_.file, &result_.detail);
    if (!checked) {
        result_.ending = Ending::FileRefused;
        return;
    }
    reach(Stage::PortOpening);
    if (request_.portOpen && line_.MSComm.PortOpen()) {
        ReuseComPort(line_.MSComm);
    } else {
        line_.MSComm.setPortPath(request_.portPath);
        if (!OpenPort(line_, request_.portIndex, sink_, &result_.detail)) {
            result_.ending = Ending::PortUnavailable;
            return;
        }
    }
    EmptyBar(sink_);
    reach(Stage::Connect);
    Show(sink_, StatusCode::Connecting);
    const bool connected = ConnectDevice(line_, now().mode, &handshake_);
    result_.connectRequests = handshake_.requests;
    result_.connectTime = handshake_.took;
    sink_.connectEnded(handshake_.requests, handshake_.took);
    // Reset and a mode change have already cleared the status line: end without a word, also
    // when a port picked after them let the handshake succeed after all.
    if (state_.OperationAborted) {
        result_.ending = Ending::Aborted;
        return;
    }
    if (!connected) {
        const Failure why = NoConnection(line_.LastReply, handshake_.requests);
        result_.cause = why.cause;
        result_.detail = why.detail;
        sink_.statusShown(StatusCode::ConnectFailed);
        end(StatusCode::ConnectFailed);
        sink_.standStill(SettleMs);
        return;
    }
    EnablePanel(sink_, false);
    Show(sink_, StatusCode::ConnectSuccess);
    Show(sink_, StatusCode::Transfer);
    // Reset while those texts were shown: the port is closed and the panel is back.
    if (state_.OperationAborted) {
        result_.ending = Ending::Aborted;
        return;
    }
    if (IsUpload(now().mode))
        upload(size);
    else
        download(size);
}

} // namespace

bool OpenPort(Line &line, int portIndex, ProgressSink &sink, QString *cause) {
    ShowLamp(sink, true);
    const std::optional<QString> failure = OpenComPort(line.MSComm, portIndex);
    if (!failure)
        return true;
    ShowLamp(sink, false);
    if (cause)
        *cause = *failure;
    sink.showError(QLatin1String(PortUnavailableText), *failure);
    return false;
}

OperationResult RunOperation(Line &line, TransferState &state, const OperationRequest &request,
                             ProgressSink &sink, const RequestSource &live) {
    // A second Start while one runs (during the handshake, or after Reset gave the panel back
    // in the middle of a transfer) would run an operation inside the running one.
    if (state.OperationRunning)
        return {};
    state.OperationRunning = true;
    const auto done = qScopeGuard([&] {
        state.ImageFileHandle.reset();
        state.OperationRunning = false;
    });
    Operation operation(line, state, request, sink, live);
    OperationResult &result = operation.result();
    try {
        operation.run();
    } catch (const CommError &e) {
        // Reset closed the port under the operation: it ends here, quietly.
        if (e.kind() == CommError::Kind::PortClosed) {
            result.ending = Ending::Aborted;
            return result;
        }
        result.ending = Ending::Error;
        result.detail = e.message();
        if (!line.MSComm.PortOpen())
            ShowLamp(sink, false);
        EnablePanel(sink, true);
        sink.showError(e.message());
    } catch (const OperationCancelled &) {
        result.ending = Ending::Aborted;
    } catch (const FileError &e) {
        result.ending = Ending::Error;
        result.detail = e.message();
        EnablePanel(sink, true);
        sink.showError(e.message());
    } catch (const std::exception &e) {
        result.ending = Ending::Error;
        result.detail = QString::fromLocal8Bit(e.what());
        EnablePanel(sink, true);
        sink.showError(result.detail);
    }
    // Every failure says why: where no words of their own were given, the whole story is short.
    if (!result.succeeded() && result.cause.isEmpty())
        result.cause = result.detail;
    return result;
}
