#include "station/board_run.h"

#include "link/line.h"
#include "link/tmscomm.h"
#include "ops/driver.h"
#include "ops/transfer_state.h"
#include "ports/machine_terminals.h"
#include "station/board_console.h"
#include "station/console_output.h"
#include "station/upload_target.h"
#include "station/wire_trace.h"

#include <QCryptographicHash>
#include <QSysInfo>

#include <csignal>
#include <memory>

namespace {

// How long a watch lets another process that has a board's port open (ModemManager probing a
// board just plugged in) let go before the board is refused.
constexpr std::chrono::seconds HolderWait{10};

QByteArray sha256(const char *bytes, qint64 size) {
    return QCryptographicHash::hash(QByteArrayView(bytes, size), QCryptographicHash::Sha256)
        .toHex();
}

} // namespace

QString StopCause(const StopFlag *stop) {
    switch (stop ? stop->load(std::memory_order_relaxed) : 0) {
#ifdef Q_OS_UNIX
    case SIGINT:
        return QStringLiteral("stopped by Ctrl-C before its verdict");
    case SIGTERM:
        return QStringLiteral("stopped by SIGTERM before its verdict");
    case SIGHUP:
        return QStringLiteral("stopped as its terminal closed, before its verdict");
    case SIGUSR1:
        return QStringLiteral("stopped as the time to finish it ran out, before its verdict");
#endif
    default:
        return QStringLiteral("stopped by the operator before its verdict");
    }
}

BoardRecord JobRecord(const BoardJob &job) {
    const TransferMode mode = job.request.mode;
    BoardRecord record;
    record.start = QDateTime::currentDateTimeUtc();
    record.host = QSysInfo::machineHostName();
    record.port = job.portName;
    record.device = job.identity.device;
    record.byIdName = job.identity.byIdName;
    record.hasUsbIds = job.identity.hasUsbIds;
    record.vendorId = job.identity.vendorId;
    record.productId = job.identity.productId;
    record.serialNumber = job.identity.serialNumber;
    record.operation = DirectionWord(mode);
    record.kind = KindWord(mode);
    record.imageSize = ImageSize(mode);
    record.lot = job.lot;
    record.attempt = job.attempt;
    return record;
}

BoardOutcome RunBoard(const BoardJob &job, ConsoleOutput &output,
                      const std::function<void(BoardOutcome &)> &keep) {
    using Clock = std::chrono::steady_clock;
    BoardOutcome outcome;
    BoardRecord &record = outcome.record;
    const TransferMode mode = job.request.mode;
    const qint32 size = ImageSize(mode);
    const Clock::time_point started = Clock::now();
    record = JobRecord(job);
    outcome.attempts = job.attempts;
    const auto finish = [&] {
        record.end = QDateTime::currentDateTimeUtc();
        record.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        record.exitCode = int(outcome.code);
        keep(outcome);
        return outcome;
    };

    OperationRequest request = job.request;
    if (IsUpload(mode)) {
        // As in a single run: refused before the port opens, not after the whole transfer.
        const UploadTarget target = CheckUploadTarget(request.file, job.overwrite);
        if (!target.usable) {
            output.errorLine(target.reason);
            outcome.result.ending = Ending::FileRefused;
            outcome.code = ExitCode::FileRefused;
            record.result = ResultText(outcome.code, outcome.result);
            record.cause = record.detail = target.reason;
            return finish();
        }
        request.createNewFile = !target.exists;
    } else if (request.image) {
        record.sha256 = sha256(request.image->constData(), request.image->size());
    }

    auto state = std::make_unique<TransferState>();
    TMSComm comm;
    const ComPortMap ports = job.comPorts;
    comm.setPortResolver(ComPortResolver([ports] { return ports; }));
    // A board waiting on its device costs a wake-up a slice, not one a poll: a small PC drives
    // many; the stop flag is still seen within a slice.
    comm.setWaitSlice(std::chrono::milliseconds(100));
    comm.setNoteSink([&output](const QString &note) { output.errorLine(note); });
    PortCheck check;
    // What the station chose (a COM number, a board found) must be a board's port as it opens;
    // a device the operator named is opened as asked.
    if (job.watched || job.request.portPath.isEmpty())
        check.judge = NoBoardPortNow;
    check.number = job.number;
    check.inode = job.inode;
    if (job.watched) {
        check.holderWait = HolderWait;
        check.giveUp = [stop = job.stop] { return StopRequested(stop); };
    }
    comm.setPortCheck(check);
    BoardConsole console(output, job.stop);
    Line line(comm, console);
    console.attach(line, *state);
    std::unique_ptr<WireTrace> trace;
    if (job.trace) {
        trace = std::make_unique<WireTrace>(output, job.start);
        comm.setTraceSink([&trace](TMSComm::Direction direction, const QByteArray &bytes) {
            trace->record(direction, bytes);
        });
    }

    bool kept = false;
    const auto conclude = [&](const OperationResult &result) {
        kept = true;
        outcome.result = result;
        outcome.code = ExitCodeOf(result, console.interrupted() || StopRequested(job.stop));
        outcome.operationTime = console.operationTime();
        if (IsUpload(mode) && result.stage >= Stage::Save)
            record.sha256 = sha256(reinterpret_cast<const char *>(state->ImageBuffer.data()), size);
        record.result = ResultText(outcome.code, result, console.lastStatus());
        record.cause = result.cause;
        record.detail = result.detail;
        record.connectRequests = result.connectRequests;
        record.connectSeconds = std::chrono::duration<double>(result.connectTime).count();
        if (outcome.code == ExitCode::Interrupted) {
            record.cause = StopCause(job.stop);
            if (record.detail.isEmpty())
                record.detail = record.cause;
        }
        // No rate where no block moved.
        const double blockSeconds = std::chrono::duration<double>(console.blockTime()).count();
        if (console.blocksMoved() > 0)
            record.blocksPerSecond = blockSeconds > 0 ? console.blocksMoved() / blockSeconds : 0;
        return finish();
    };
    console.onSuccess([&] {
        OperationResult success;
        success.stage = Stage::Done;
        success.ending = Ending::Completed;
        success.status = StatusCode::UpdateSuccess;
        success.connectRequests = console.connectRequests();
        success.connectTime = console.connectTime();
        conclude(success);
    });

    const OperationResult result = RunOperation(line, *state, request, console);
    console.finish();
    // Let go at once: the board may be taken off and the next one put on.
    comm.setPortOpen(false);
    if (trace)
        trace->flush();
    if ((result.ending == Ending::Completed && !result.succeeded()) ||
        result.ending == Ending::FileRefused) {
        if (!result.detail.isEmpty())
            output.errorLine(result.detail);
    }
    return kept ? outcome : conclude(result);
}
