// The operation driver on a scripted line: the device's own state machine answers in memory, on
// a clock of its own, so every branch of an operation runs in milliseconds.
#include "device/image_kind.h"
#include "link/checksum.h"
#include "link/handshake_codes.h"
#include "link/line.h"
#include "link/tmscomm.h"
#include "ops/driver.h"
#include "ops/panel_view.h"
#include "ops/progress_text.h"
#include "ops/transfer_state.h"
#include "support/images.h"
#include "support/scripted_line.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>

namespace {

// What the operation showed, as a front end would have shown it.
struct RecordingSink : ProgressSink, PanelView {
    QList<StatusCode> statuses;
    QList<FileRefusal> refusals;
    QStringList errors;
    int blocks = 0;
    int events = 0;
    int standStills = 0;
    bool panelEnabled = true;
    bool lamp = false;
    // The operator's act, run while the window handles its events: after a status, or after
    // a block of a phase.
    std::function<void(StatusCode)> onStatus;
    std::function<void(const BlockProgress &)> onBlock;
    std::function<void()> pending;

    void processEvents() override {
        ++events;
        if (auto act = std::exchange(pending, nullptr))
            act();
    }
    void statusShown(StatusCode code) override {
        statuses << code;
        if (onStatus)
            pending = [this, code] { onStatus(code); };
    }
    void fileRefused(FileRefusal reason) override { refusals << reason; }
    void blockDone(const BlockProgress &progress) override {
        ++blocks;
        QVERIFY(!ProgressText(progress).isEmpty());
        if (onBlock)
            pending = [this, progress] { onBlock(progress); };
    }
    void Progress(int, int) override { processEvents(); }
    void showError(const QString &text, const QString &cause) override {
        errors << (cause.isEmpty() ? text : text + " / " + cause);
    }
    void standStill(int) override { ++standStills; }
    PanelView *panel() override { return this; }
    void setProgressPosition(int) override {}
    void setInputPanelEnabled(bool enabled) override { panelEnabled = enabled; }
    void setPortLamp(bool open) override { lamp = open; }
};

// The tool's side of one operation against a scripted device.
struct Rig {
    explicit Rig(const DeviceSettings &settings = {}) : device(settings) {
        comm.setLineOpener(device.opener());
        request.portPath = QStringLiteral("scripted");
    }
    OperationResult run() {
        if (!live)
            return RunOperation(line, state, request, sink);
        return RunOperation(line, state, request, sink, [this] { return *live; });
    }
    // What Reset does in the window: the port and the file close under the operation.
    void reset() {
        state.OperationAborted = true;
        comm.setPortOpen(false);
        state.ImageFileHandle.reset();
        sink.panelEnabled = true;
    }
    int framesWritten(CommandCode code) const { return int(device.written().count(FrameOf(code))); }

    ScriptedDevice device;
    TMSComm comm;
    RecordingSink sink;
    Line line{comm, sink};
    TransferState state;
    OperationRequest request;
    std::optional<OperationRequest> live;
};

DeviceSettings quick(DeviceFaults faults = {}) {
    DeviceSettings settings;
    settings.eraseTime = std::chrono::milliseconds(300);
    settings.programTime = std::chrono::milliseconds(500);
    settings.faults = faults;
    return settings;
}

} // namespace

class TestDriver : public QObject {
    Q_OBJECT
private slots:
    void init();

    void everyEnding_data();
    void everyEnding();
    void resetEndsQuietlyAtEveryStep_data();
    void resetEndsQuietlyAtEveryStep();
    void modeChangeDuringTheHandshakeEndsQuietly_data();
    void modeChangeDuringTheHandshakeEndsQuietly();
    void fileChosenDuringTheHandshakeIsCheckedAgain();
    void downloadFileChangedWhileSentFails();
    void imageInMemoryIsSentAsItStands_data();
    void imageInMemoryIsSentAsItStands();
    void secondStartIsIgnored();
    void slowDevicesBehindAdapters_data();
    void slowDevicesBehindAdapters();

    void saveLeavesTheOldFileOrTheNewOne_data();
    void saveLeavesTheOldFileOrTheNewOne();

private:
    QTemporaryDir dir;
    QByteArray dataImage;
    QString dataFile;
    QString path(const char *name) const { return dir.filePath(QLatin1String(name)); }
    // Nothing but the files the test made: no temporary file left beside a target.
    QStringList files() const {
        return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }
};

void TestDriver::init() {
    QVERIFY(dir.isValid());
    for (const QString &name : files())
        QFile::remove(dir.filePath(name));
    dataImage = TestImage(ImageSize(TransferMode::DownloadData), 0x5eed);
    dataFile = path("data.bin");
    QVERIFY(WriteFile(dataFile, dataImage));
}

void TestDriver::everyEnding_data() {
    QTest::addColumn<TransferMode>("mode");
    QTest::addColumn<QString>("file"); // "data": the data image; "<name>": that name in dir
    QTest::addColumn<DeviceFaults>("faults");
    QTest::addColumn<Stage>("stage");
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<int>("status"); // -1: none
    const auto row = [](const char *name, TransferMode mode, const char *file, DeviceFaults faults,
                        Stage stage, Ending ending, int status) {
        QTest::newRow(name) << mode << QString::fromLatin1(file) << faults << stage << ending
                            << status;
    };
    const auto D = TransferMode::DownloadData;
    const auto U = TransferMode::UploadData;
    const int none = -1;
    const auto code = [](StatusCode c) { return int(c); };
    DeviceFaults f;
    row("download", D, "data", f, Stage::Done, Ending::Completed, code(StatusCode::UpdateSuccess));
    row("upload", U, "up.bin", f, Stage::Done, Ending::Completed, code(StatusCode::UpdateSuccess));
    row("no download file", D, "", f, Stage::FileCheck, Ending::FileRefused, none);
    row("no upload file", U, "", f, Stage::FileCheck, Ending::FileRefused, none);
    row("missing file", D, "missing.bin", f, Stage::FileCheck, Ending::FileRefused, none);
    row("wrong length", TransferMode::DownloadDefault, "data", f, Stage::FileCheck,
        Ending::FileRefused, none);
    row("a pipe", D, "pipe", f, Stage::FileCheck, Ending::FileRefused, none);
    row("port refused", D, "data", f, Stage::PortOpening, Ending::PortUnavailable, none);
    f = {};
    f.silent = true;
    row("silent device", D, "data", f, Stage::Connect, Ending::Completed,
        code(StatusCode::ConnectFailed));
    f = {};
    f.nakBlock = 5;
    row("refused block", D, "data", f, Stage::Data, Ending::Completed,
        code(StatusCode::TransferFailed));
    f = {};
    f.stopAfter = 1030;
    row("silent in the table", D, "data", f, Stage::ChecksumTable, Ending::Completed,
        code(StatusCode::TransferFailed));
    f = {};
    f.stopAfter = 1040;
    row("silent after the table", D, "data", f, Stage::Verify, Ending::Completed,
        code(StatusCode::VerifyFailed));
    f = {};
    f.badChecksum = true;
    row("download not verified", D, "data", f, Stage::Verify, Ending::Completed,
        code(StatusCode::VerifyFailed));
    row("upload not verified", U, "up.bin", f, Stage::Verify, Ending::Completed,
        code(StatusCode::VerifyFailed));
    f = {};
    f.eraseFail = true;
    row("erase fails", D, "data", f, Stage::Erase, Ending::Completed,
        code(StatusCode::EraseFlashFailed));
    f = {};
    f.programFail = true;
    row("program fails", D, "data", f, Stage::Program, Ending::Completed,
        code(StatusCode::ProgramFlashFailed));
    f = {};
    f.stopAfter = 100;
    row("silent mid-upload", U, "up.bin", f, Stage::Data, Ending::Completed,
        code(StatusCode::TransferFailed));
    f = {};
    f.flipBit = 300;
    row("flipped bit", U, "up.bin", f, Stage::Verify, Ending::Completed,
        code(StatusCode::VerifyFailed));
    f = {};
    f.hangupAfter = 40;
    row("device lost", D, "data", f, Stage::Data, Ending::Error, none);
    row("save refused", U, "gone/up.bin", {}, Stage::Save, Ending::Completed,
        code(StatusCode::SetUpFileFailed));
}

void TestDriver::everyEnding() {
    QFETCH(TransferMode, mode);
    QFETCH(QString, file);
    QFETCH(DeviceFaults, faults);
    QFETCH(Stage, stage);
    QFETCH(Ending, ending);
    QFETCH(int, status);
    Rig rig(quick(faults));
    rig.request.mode = mode;
    if (file == QLatin1String("data"))
        rig.request.file = dataFile;
    else if (!file.isEmpty())
        rig.request.file = dir.filePath(file);
    if (file == QLatin1String("pipe"))
        QCOMPARE(::mkfifo(QFile::encodeName(rig.request.file).constData(), 0600), 0);
    rig.request.createNewFile = true;
    if (QByteArray(QTest::currentDataTag()) == "port refused")
        rig.device.refuseOpen = QStringLiteral("Device or resource busy");

    const OperationResult result = rig.run();

    QCOMPARE(result.stage, stage);
    QCOMPARE(result.ending, ending);
    // Every failure says why.
    QVERIFY(result.succeeded() || !result.cause.isEmpty());
    QCOMPARE(result.status.has_value(), status >= 0);
    if (status >= 0) {
        QCOMPARE(int(*result.status), status);
        QCOMPARE(int(rig.sink.statuses.last()), status);
    }
    QVERIFY(rig.sink.panelEnabled);
    QVERIFY(!rig.state.OperationRunning);
    QVERIFY(!rig.state.ImageFileHandle);
    QCOMPARE(rig.sink.refusals.size(), ending == Ending::FileRefused ? 1 : 0);
    // Only a port that would not open and a lost device bring up a box; both turn the lamp red.
    QCOMPARE(rig.sink.errors.size(),
             ending == Ending::PortUnavailable || ending == Ending::Error ? 1 : 0);
    QCOMPARE(rig.sink.lamp, stage > Stage::PortOpening && ending != Ending::Error);
    if (ending == Ending::PortUnavailable)
        QCOMPARE(rig.sink.errors[0],
                 QStringLiteral("The Port you selected is used by other application! / "
                                "scripted: Device or resource busy"));
    if (ending == Ending::Error)
        QVERIFY2(rig.sink.errors[0].contains("lost"), qPrintable(rig.sink.errors[0]));
    // The pauses that leave the window standing: after a failed connect, after an upload.
    QCOMPARE(rig.sink.standStills, int(status == int(StatusCode::ConnectFailed) ||
                                       (IsUpload(mode) && result.succeeded())));
    if (status == int(StatusCode::ConnectFailed)) {
        const CommandCode request = CommandCode::TDPO;
        QCOMPARE(rig.framesWritten(request), 1999);
    }
    if (stage == Stage::Verify && !IsUpload(mode) && faults.stopAfter)
        QVERIFY(rig.sink.events >= 100000); // every poll of the verify wait ran
    if (IsUpload(mode)) {
        // The upload's own answers to the device, and a file only for a verified image.
        QCOMPARE(rig.framesWritten(CommandCode::RRFD), stage == Stage::Data ? 1 : 0);
        QCOMPARE(rig.framesWritten(CommandCode::RCVF), stage == Stage::Verify ? 1 : 0);
        QCOMPARE(QFile::exists(rig.request.file), result.succeeded());
        if (result.succeeded()) {
            QCOMPARE(ReadFile(rig.request.file).size(), ImageSize(mode));
            QCOMPARE(rig.framesWritten(CommandCode::REFS), 1);
            QCOMPARE(rig.framesWritten(CommandCode::RWFS), 1);
        }
        if (stage == Stage::Save)
            QVERIFY2(result.detail.contains("gone"), qPrintable(result.detail));
    }
    if (result.succeeded() && !IsUpload(mode))
        QCOMPARE(rig.device.store().load(ImageKind::Data), dataImage);
}

// A device that answers every connect request it reads, each late, answers the copies the tool
// sent while it waited too: the copies come where the first acknowledgement or the first block
// is awaited, and are passed over.
void TestDriver::slowDevicesBehindAdapters_data() {
    QTest::addColumn<TransferMode>("mode");
    QTest::addColumn<DeviceFaults>("faults");
    QTest::addColumn<int>("requests"); // the connect requests sent; 0: more than one
    for (int mode = 0; mode < TransferModeCount; ++mode) {
        const auto row = [mode](const char *name, DeviceFaults faults, int requests) {
            QTest::addRow("%s, %s", TransferModeNames[mode], name)
                << TransferMode(mode) << faults << requests;
        };
        using std::chrono::milliseconds;
        // A boot loader that takes a second request for the start of the operation: asked once.
        DeviceFaults once;
        once.answerOnce = true;
        once.latency = milliseconds(16);
        row("answer-once behind 16 ms", once, 1);
        once.latency = milliseconds(40);
        row("answer-once behind 40 ms", once, 1);
        once.latency = once.readLatency = milliseconds(16);
        row("answer-once, 16 ms each way", once, 1);
        // A device slow to answer the first request is asked once.
        once = {};
        once.answerOnce = true;
        once.answerEvery = milliseconds(300);
        once.latency = milliseconds(40);
        row("answer-once, 300 ms late, behind 40 ms", once, 1);
        // A device that answers every request it read, 600 ms after it: asked again before its
        // answer came, its copies of the answer are passed over.
        DeviceFaults every;
        every.answerEvery = milliseconds(600);
        every.latency = milliseconds(16);
        row("every request answered 600 ms late", every, 0);
        every.answerEvery = milliseconds(1200);
        row("every request answered 1,200 ms late", every, 0);
    }
}

void TestDriver::slowDevicesBehindAdapters() {
    QFETCH(TransferMode, mode);
    QFETCH(DeviceFaults, faults);
    QFETCH(int, requests);
    Rig rig(quick(faults));
    QByteArray image = TestImage(ImageSize(mode), quint32(mode) + 7);
    rig.request.mode = mode;
    if (IsUpload(mode)) {
        // An image that itself begins as the answer does: its first bytes are no copy.
        image.replace(0, FrameLength, FrameOf(ReplyOfMode[int(mode)]));
        QVERIFY(rig.device.store().save(KindOfMode(int(mode)), image));
        rig.request.file = path("up.bin");
        rig.request.createNewFile = true;
    } else {
        rig.request.image = std::make_shared<const QByteArray>(image);
    }

    const OperationResult result = rig.run();

    QVERIFY2(result.succeeded(), qPrintable(result.detail));
    QCOMPARE(result.connectRequests, rig.framesWritten(RequestOfMode[int(mode)]));
    if (requests > 0)
        QCOMPARE(result.connectRequests, requests);
    else
        QVERIFY(result.connectRequests > 1);
    if (IsUpload(mode))
        QVERIFY(ReadFile(rig.request.file) == image);
    else
        QVERIFY(rig.device.store().load(KindOfMode(int(mode))) == image);
}

void TestDriver::resetEndsQuietlyAtEveryStep_data() {
    QTest::addColumn<TransferMode>("mode");
    QTest::addColumn<int>("status"); // Reset after this status; -1: after a block
    QTest::addColumn<int>("block");  // ... after this block of the phase
    QTest::addColumn<Phase>("phase");
    const auto D = TransferMode::DownloadData;
    const auto U = TransferMode::UploadData;
    const auto at = [](const char *name, TransferMode mode, StatusCode code) {
        QTest::newRow(name) << mode << int(code) << 0 << Phase::Data;
    };
    const auto block = [](const char *name, TransferMode mode, Phase phase, int n) {
        QTest::newRow(name) << mode << -1 << n << phase;
    };
    at("while connecting", D, StatusCode::Connecting);
    at("after connecting", D, StatusCode::Transfer);
    block("in the data", D, Phase::Data, 10);
    block("in the table", D, Phase::ChecksumTable, 2);
    at("while verifying", D, StatusCode::Verify);
    at("while erasing", D, StatusCode::EraseFlash);
    at("while programming", D, StatusCode::ProgramFlash);
    at("upload, while connecting", U, StatusCode::Connecting);
    block("upload, in the blocks", U, Phase::Upload, 10);
    at("upload, before its verdict", U, StatusCode::Verify);
    at("upload, after its verdict", U, StatusCode::VerifySuccess);
}

void TestDriver::resetEndsQuietlyAtEveryStep() {
    QFETCH(TransferMode, mode);
    QFETCH(int, status);
    QFETCH(int, block);
    QFETCH(Phase, phase);
    Rig rig(quick());
    rig.request.mode = mode;
    rig.request.file = IsUpload(mode) ? path("up.bin") : dataFile;
    rig.request.createNewFile = true;
    int shownBefore = -1;
    rig.sink.onStatus = [&](StatusCode code) {
        if (status >= 0 && int(code) == status && shownBefore < 0) {
            shownBefore = int(rig.sink.statuses.size());
            rig.reset();
        }
    };
    rig.sink.onBlock = [&](const BlockProgress &progress) {
        if (status < 0 && progress.phase == phase && progress.done == block && shownBefore < 0) {
            shownBefore = int(rig.sink.statuses.size());
            rig.reset();
        }
    };

    const OperationResult result = rig.run();

    QVERIFY(shownBefore >= 0);
    QCOMPARE(result.ending, Ending::Aborted);
    // Not a word after Reset, no box, no pause, nothing saved, the file let go.
    QCOMPARE(rig.sink.statuses.size(), shownBefore);
    QVERIFY(rig.sink.errors.isEmpty());
    QCOMPARE(rig.sink.standStills, 0);
    QVERIFY(!QFile::exists(path("up.bin")));
    QVERIFY(!rig.state.ImageFileHandle);
    QVERIFY(!rig.state.OperationRunning);
}

void TestDriver::modeChangeDuringTheHandshakeEndsQuietly_data() {
    QTest::addColumn<bool>("portPickedAfter");
    QTest::newRow("port closed") << false;
    QTest::newRow("a port picked after it answers") << true;
}

void TestDriver::modeChangeDuringTheHandshakeEndsQuietly() {
    // The device hears nothing at first; while the handshake asks, the operator changes the
    // mode, and maybe picks a port whose device then answers.
    QFETCH(bool, portPickedAfter);
    Rig rig(quick());
    rig.request.mode = TransferMode::DownloadData;
    rig.request.file = dataFile;
    rig.live = rig.request;
    int requests = 0;
    bool changed = false;
    rig.device.onWrite = [&](QByteArray &bytes) {
        if (changed)
            return;
        bytes.clear();
        if (++requests != 5)
            return;
        rig.sink.pending = [&] {
            changed = true;
            rig.live->mode = TransferMode::UploadData; // the window clears the file field too
            rig.live->file.clear();
            rig.state.OperationAborted = true;
            rig.comm.setPortOpen(false);
            if (portPickedAfter)
                rig.comm.setPortOpen(true);
        };
    };
    const OperationResult result = rig.run();
    QCOMPARE(result.ending, Ending::Aborted);
    QCOMPARE(rig.sink.statuses, QList<StatusCode>{StatusCode::Connecting});
    QCOMPARE(rig.sink.standStills, 0);
    QVERIFY(rig.sink.panelEnabled);
    QCOMPARE(rig.comm.PortOpen(), portPickedAfter);
    // Picked after the change, the port's device heard the request and answered it.
    QCOMPARE(rig.device.machine().idle(), !portPickedAfter);
}

void TestDriver::fileChosenDuringTheHandshakeIsCheckedAgain() {
    // Checked with the data image; during the handshake the operator chooses a file of another
    // size. Not one block of it goes out.
    Rig rig(quick());
    rig.request.mode = TransferMode::DownloadData;
    rig.request.file = dataFile;
    rig.live = rig.request;
    QVERIFY(WriteFile(path("small.bin"), QByteArray(1000, 'x')));
    rig.sink.onStatus = [&](StatusCode code) {
        if (code == StatusCode::Connecting)
            rig.live->file = path("small.bin");
    };
    const OperationResult result = rig.run();
    QCOMPARE(result.stage, Stage::Data);
    QCOMPARE(result.status, StatusCode::TransferFailed);
    QVERIFY2(result.detail.contains("small.bin"), qPrintable(result.detail));
    QCOMPARE(rig.device.written().size(), qsizetype(FrameLength)); // the connect request alone
}

void TestDriver::downloadFileChangedWhileSentFails() {
    Rig rig(quick());
    rig.request.mode = TransferMode::DownloadData;
    rig.request.file = dataFile;
    rig.sink.onBlock = [&](const BlockProgress &progress) {
        if (progress.done != 200)
            return;
        // Same size, same bytes: only the modification time tells of the writer.
        QFile file(dataFile);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(60),
                                 QFileDevice::FileModificationTime));
    };
    const OperationResult result = rig.run();
    QCOMPARE(result.stage, Stage::Data);
    QCOMPARE(result.status, StatusCode::TransferFailed);
    QVERIFY2(result.detail.contains("changed while it was being sent"), qPrintable(result.detail));
    // The device was told nothing of it: no checksum table, so nothing is programmed.
    QVERIFY(!rig.device.store().load(ImageKind::Data));
}

void TestDriver::imageInMemoryIsSentAsItStands_data() {
    QTest::addColumn<qsizetype>("size");
    QTest::newRow("file rewritten while sent") << qsizetype(ImageSize(TransferMode::DownloadData));
    QTest::newRow("image of another size") << qsizetype(1000);
}

void TestDriver::imageInMemoryIsSentAsItStands() {
    // The bytes read once go out; the file under the name is neither checked nor read again,
    // so a writer that takes no lock changes nothing that is sent.
    QFETCH(qsizetype, size);
    Rig rig(quick());
    rig.request.mode = TransferMode::DownloadData;
    rig.request.file = dataFile;
    rig.request.image = std::make_shared<const QByteArray>(dataImage.left(size));
    rig.sink.onBlock = [&](const BlockProgress &progress) {
        if (progress.phase == Phase::Data && progress.done == 200)
            QVERIFY(WriteFile(dataFile, TestImage(dataImage.size(), 0xbad)));
    };
    const OperationResult result = rig.run();
    if (size != dataImage.size()) {
        QCOMPARE(result.ending, Ending::FileRefused);
        QCOMPARE(rig.sink.refusals, QList<FileRefusal>{FileRefusal::WrongLength});
        QVERIFY(rig.device.written().isEmpty());
        return;
    }
    QVERIFY2(result.succeeded(), qPrintable(result.detail));
    QCOMPARE(rig.device.store().load(ImageKind::Data), dataImage);
}

void TestDriver::secondStartIsIgnored() {
    Rig rig(quick());
    rig.request.file = dataFile;
    rig.state.OperationRunning = true;
    const OperationResult result = rig.run();
    QCOMPARE(result.ending, Ending::NotStarted);
    QVERIFY(rig.sink.statuses.isEmpty());
    QVERIFY(rig.device.written().isEmpty());
    QVERIFY(rig.state.OperationRunning);
}

void TestDriver::saveLeavesTheOldFileOrTheNewOne_data() {
    QTest::addColumn<QString>("there"); // what stands under the name: "", "file", "link", ...
    QTest::addColumn<bool>("createNew");
    QTest::addColumn<bool>("saved");
    QTest::newRow("new name") << "" << true << true;
    QTest::newRow("cover a longer file") << "file" << false << true;
    QTest::newRow("cover through a link") << "link" << false << true;
    QTest::newRow("cover where a killed save left its image") << "left" << false << true;
    QTest::newRow("a file made meanwhile") << "file" << true << false;
    QTest::newRow("a link to nothing") << "dangling" << false << false;
    QTest::newRow("a pipe") << "pipe" << false << false;
}

void TestDriver::saveLeavesTheOldFileOrTheNewOne() {
    QFETCH(QString, there);
    QFETCH(bool, createNew);
    QFETCH(bool, saved);
    const QString target = path("up.bin");
    const QByteArray old(ImageSize(TransferMode::UploadData) + 5000, 'o');
    QVERIFY(WriteFile(path("real.bin"), old));
    QFile::setPermissions(path("real.bin"), QFile::ReadOwner | QFile::WriteOwner);
    if (there == QLatin1String("file") || there == QLatin1String("left")) {
        QVERIFY(QFile::rename(path("real.bin"), target));
    } else if (there == QLatin1String("link")) {
        QVERIFY(QFile::link(path("real.bin"), target));
    } else if (there == QLatin1String("dangling")) {
        QVERIFY(QFile::link(path("nothing.bin"), target));
    } else if (there == QLatin1String("pipe")) {
        QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
    }
    QStringList before = files();
    if (there == QLatin1String("left")) {
        // Named beside the target by a program killed before it could put it in place.
        const pid_t gone = ::fork();
        if (gone == 0)
            ::_exit(0);
        QVERIFY(gone > 0 && ::waitpid(gone, nullptr, 0) == gone);
        QVERIFY(
            WriteFile(dir.filePath(QStringLiteral(".up.bin.torvane-%1-0").arg(gone)), "abandoned"));
    }
    Rig rig(quick());
    rig.request.mode = TransferMode::UploadData;
    rig.request.file = target;
    rig.request.createNewFile = createNew;

    const OperationResult result = rig.run();

    QCOMPARE(result.succeeded(), saved);
    if (saved) {
        const QByteArray image =
            ReadFile(there == QLatin1String("link") ? path("real.bin") : target);
        QCOMPARE(image.size(), ImageSize(TransferMode::UploadData));
        const std::optional<QByteArray> stored = rig.device.store().load(ImageKind::Data);
        QCOMPARE(image, stored ? *stored : PatternImage(ImageKind::Data));
        // A covered file keeps its permissions; a new one gets a new file's.
        const auto permissions = QFileInfo(target).permissions();
        QCOMPARE(permissions.testFlag(QFile::ReadOther), there.isEmpty());
    } else {
        QCOMPARE(result.status, StatusCode::SetUpFileFailed);
        QVERIFY(!result.detail.isEmpty());
        if (there == QLatin1String("file"))
            QCOMPARE(ReadFile(target), old);
    }
    // Nothing beside it: no temporary file, half-written or whole.
    QStringList expected = before;
    if (there.isEmpty() && saved)
        expected << QStringLiteral("up.bin");
    expected.sort();
    QCOMPARE(files().join(' '), expected.join(' '));
}

QTEST_GUILESS_MAIN(TestDriver)
#include "tst_driver.moc"
