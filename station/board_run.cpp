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
#include <optional>

namespace {

using Clock = std::chrono::steady_clock;

// How long a watch lets another process that has a board's port open (ModemManager probing a
// board just plugged in) let go before the board is refused.
constexpr std::chrono::seconds HolderWait{10};

double secondsSince(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The step's part of a record: what it is and what it moved.
void describeStep(BoardRecord &record, const JobStep &step) {
    record.operation = CommandWord(step.command);
    record.kind = KindWord(step.mode);
    record.imageSize = ImageSize(step.mode);
}

// One board's job on its own thread: the serial component, state and console it keeps for the
// whole job (the port stays open from step to step), the record it fills in, and the outcome
// handed to `keep` once.
class JobRun {
public:
    JobRun(const BoardJob &job, ConsoleOutput &output,
           const std::function<void(BoardOutcome &)> &keep);
    BoardOutcome run();

private:
    // Every upload target of the job, checked before the port opens (as a single run checks
    // its one), not after a whole transfer; the first refused ends the job there.
    bool targetsUsable();
    void setUpLine();
    OperationResult runStep(int k);
    // The step's entry in a job's record, once it has ended.
    void noteStep(int k, const OperationResult &result, ExitCode code);
    // The job ends in step `k` as `result` says (or `code`, where it is given): its record is
    // kept.
    BoardOutcome conclude(int k, const OperationResult &result,
                          std::optional<ExitCode> code = std::nullopt);
    BoardOutcome finish();
    bool several() const { return job_.steps.size() > 1; }
    bool interrupted() const { return console_.interrupted() || StopRequested(job_.stop); }
    // The SHA-256 of what step `k` moved: its image, or the image an upload saved.
    QByteArray stepSha256(int k, const OperationResult &result) const;

    const BoardJob &job_;
    ConsoleOutput &output_;
    const std::function<void(BoardOutcome &)> &keep_;
    const Clock::time_point started_;
    Clock::time_point stepStarted_;
    BoardOutcome outcome_;
    std::vector<bool> createNew_; // by step: an upload makes its file, or covers one
    std::unique_ptr<TransferState> state_;
    TMSComm comm_;
    BoardConsole console_;
    Line line_;
    std::unique_ptr<WireTrace> trace_;
    bool kept_ = false;
};

JobRun::JobRun(const BoardJob &job, ConsoleOutput &output,
               const std::function<void(BoardOutcome &)> &keep)
    : job_(job), output_(output), keep_(keep), started_(Clock::now()),
      createNew_(job.steps.size(), false), state_(std::make_unique<TransferState>()),
      console_(output, job.stop), line_(comm_, console_) {
    outcome_.record = JobRecord(job);
    outcome_.attempts = job.attempts;
    outcome_.steps = int(job.steps.size());
    console_.attach(line_, *state_);
}

BoardOutcome JobRun::finish() {
    BoardRecord &record = outcome_.record;
    record.end = QDateTime::currentDateTimeUtc();
    record.seconds = secondsSince(started_);
    record.exitCode = int(outcome_.code);
    keep_(outcome_);
    return outcome_;
}

bool JobRun::targetsUsable() {
    for (int k = job_.firstStep; k < int(job_.steps.size()); ++k) {
        const JobStep &step = job_.steps[size_t(k)].step;
        if (step.command != StepCommand::Upload)
            continue;
        const UploadTarget target = CheckUploadTarget(step.file, job_.overwrite);
        if (target.usable) {
            createNew_[size_t(k)] = !target.exists;
            continue;
        }
        output_.errorLine(
            several()
                ? QStringLiteral("step %1 (%2): %3").arg(k + 1).arg(StepName(step), target.reason)
                : target.reason);
        OperationResult refused;
        refused.ending = Ending::FileRefused;
        refused.detail = refused.cause = target.reason;
        stepStarted_ = Clock::now();
        conclude(k, refused, ExitCode::FileRefused);
        return false;
    }
    return true;
}

void JobRun::setUpLine() {
    const ComPortMap ports = job_.comPorts;
    comm_.setPortResolver(ComPortResolver([ports] { return ports; }));
    // A board waiting on its device costs a wake-up a slice, not one a poll: a small PC drives
    // many; the stop flag is still seen within a slice.
    comm_.setWaitSlice(std::chrono::milliseconds(100));
    comm_.setNoteSink([this](const QString &note) { output_.errorLine(note); });
    PortCheck check;
    // What the station chose (a COM number, a board found) must be a board's port as it opens;
    // a device the operator named is opened as asked.
    if (job_.watched || job_.request.portPath.isEmpty())
        check.judge = NoBoardPortNow;
    check.number = job_.number;
    check.inode = job_.inode;
    if (job_.watched) {
        check.holderWait = HolderWait;
        check.giveUp = [stop = job_.stop] { return StopRequested(stop); };
    }
    comm_.setPortCheck(check);
    if (job_.trace) {
        trace_ = std::make_unique<WireTrace>(output_, job_.start);
        comm_.setTraceSink([this](TMSComm::Direction direction, const QByteArray &bytes) {
            trace_->record(direction, bytes);
        });
    }
}

OperationResult JobRun::runStep(int k) {
    const BoardStep &step = job_.steps[size_t(k)];
    OperationRequest request = job_.request;
    request.mode = step.step.mode;
    request.file = step.step.file;
    request.image = step.image;
    request.createNewFile = createNew_[size_t(k)];
    // The port stays open from the step before: the board is not let go in the middle of its job.
    request.portOpen = k > job_.firstStep;
    stepStarted_ = Clock::now();
    console_.beginStep(several() ? StepLabel(k, int(job_.steps.size()), step.step) : QString());
    // The job's success is kept as its last step shows "Update Success!", before an upload's
    // pause, so that a kill in the pause loses no record of the file it saved.
    if (k + 1 == int(job_.steps.size()))
        console_.onSuccess([this, k] {
            OperationResult success;
            success.stage = Stage::Done;
            success.ending = Ending::Completed;
            success.status = StatusCode::UpdateSuccess;
            success.connectRequests = console_.connectRequests();
            success.connectTime = console_.connectTime();
            conclude(k, success);
        });
    return RunOperation(line_, *state_, request, console_);
}

QByteArray JobRun::stepSha256(int k, const OperationResult &result) const {
    const BoardStep &step = job_.steps[size_t(k)];
    if (step.step.command != StepCommand::Upload)
        return step.sha256;
    if (result.stage < Stage::Save)
        return QByteArray();
    const qint32 size = ImageSize(step.step.mode);
    return QCryptographicHash::hash(
               QByteArrayView(reinterpret_cast<const char *>(state_->ImageBuffer.data()), size),
               QCryptographicHash::Sha256)
        .toHex();
}

void JobRun::noteStep(int k, const OperationResult &result, ExitCode code) {
    if (!several())
        return;
    const JobStep &step = job_.steps[size_t(k)].step;
    StepRecord entry;
    entry.command = CommandWord(step.command);
    entry.kind = KindWord(step.mode);
    entry.file = step.file;
    entry.size = ImageSize(step.mode);
    entry.sha256 = stepSha256(k, result);
    entry.exitCode = int(code);
    entry.cause = code == ExitCode::Interrupted ? StopCause(job_.stop) : result.cause;
    entry.seconds = secondsSince(stepStarted_);
    outcome_.record.steps.push_back(entry);
    if (code == ExitCode::Success)
        outcome_.bytes += entry.size;
}

BoardOutcome JobRun::conclude(int k, const OperationResult &result, std::optional<ExitCode> code) {
    kept_ = true;
    const JobStep &step = job_.steps[size_t(k)].step;
    BoardRecord &record = outcome_.record;
    outcome_.result = result;
    outcome_.code = code.value_or(ExitCodeOf(result, interrupted()));
    outcome_.operationTime = console_.operationTime();
    outcome_.step = k;
    outcome_.stepName = StepName(step);
    noteStep(k, result, outcome_.code);
    if (!several() && outcome_.code == ExitCode::Success)
        outcome_.bytes = ImageSize(step.mode);
    describeStep(record, step);
    record.sha256 = stepSha256(k, result);
    record.result = ResultText(outcome_.code, result, console_.lastStatus());
    record.cause = result.cause;
    record.detail = result.detail;
    record.connectRequests = result.connectRequests;
    record.connectSeconds = std::chrono::duration<double>(result.connectTime).count();
    if (outcome_.code == ExitCode::Interrupted) {
        record.cause = StopCause(job_.stop);
        if (record.detail.isEmpty())
            record.detail = record.cause;
    }
    // No rate where no block moved.
    const double blockSeconds = std::chrono::duration<double>(console_.blockTime()).count();
    if (console_.blocksMoved() > 0)
        record.blocksPerSecond = blockSeconds > 0 ? console_.blocksMoved() / blockSeconds : 0;
    return finish();
}

BoardOutcome JobRun::run() {
    if (!targetsUsable())
        return outcome_;
    setUpLine();
    const int last = int(job_.steps.size()) - 1;
    int k = job_.firstStep;
    OperationResult result = runStep(k);
    // A step that fails ends the job: the steps after it are not run.
    while (result.succeeded() && k < last && !kept_) {
        noteStep(k, result, ExitCode::Success);
        result = runStep(++k);
    }
    console_.finish();
    // Let go at once: the board may be taken off and the next one put on.
    comm_.setPortOpen(false);
    if (trace_)
        trace_->flush();
    if ((result.ending == Ending::Completed && !result.succeeded()) ||
        result.ending == Ending::FileRefused) {
        if (!result.detail.isEmpty())
            output_.errorLine(result.detail);
    }
    return kept_ ? outcome_ : conclude(k, result);
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
    if (size_t(job.firstStep) < job.steps.size())
        describeStep(record, job.steps[size_t(job.firstStep)].step);
    record.lot = job.lot;
    record.attempt = job.attempt;
    return record;
}

BoardOutcome RunBoard(const BoardJob &job, ConsoleOutput &output,
                      const std::function<void(BoardOutcome &)> &keep) {
    return JobRun(job, output, keep).run();
}
