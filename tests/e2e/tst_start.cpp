// Start, end to end: the real window drives the real device emulator on a pseudo-terminal.
#include "link/com_numbering.h"
#include "link/transfer_mode.h"
#include "support/device_process.h"
#include "support/images.h"
#include "window_driver.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace std::chrono_literals;

namespace {

QStringList collapsed(const QStringList &texts) {
    QStringList out;
    for (const QString &t : texts)
        if (out.isEmpty() || out.last() != t)
            out << t;
    return out;
}

// Every text a successful operation shows, in order, as the status line shows them.
QStringList downloadTexts(qint32 size) {
    QStringList t{"Connectting...", "Connect Success!", "Transfer..."};
    for (qint64 offset = 256; offset <= size; offset += 256)
        t << "Transfer Success!" << QString("Transfering Data:  %1%").arg(offset * 100 / size);
    const qint64 table = size / 64;
    for (qint64 offset = 256; offset <= table; offset += 256)
        t << "Transfer Success!" << QString("Transfering CRC:  %1%").arg(offset * 100 / table);
    t << "Transfer Success!"
      << "Verify..."
      << "Verify Success!"
      << "Erase flash..."
      << "Erase flash Success!"
      << "Program flash..."
      << "Program flash Success!"
      << "Erase eeprom Success!"
      << "Update Success!";
    return collapsed(t);
}

QStringList uploadTexts(qint32 size) {
    QStringList t{"Connectting...", "Connect Success!", "Transfer..."};
    const qint64 blocks = size / 256 + size / 16384;
    for (qint64 i = 0; i < blocks; ++i)
        t << QString("Transfering:  %1%").arg(i * 100 / (blocks - 1));
    t << "Transfer Success!"
      << "Verify..."
      << "Verify Success!"
      << "Update Success!";
    return collapsed(t);
}

// The kind of image a mode moves: uploads bring back what downloads of the same kind stored.
int kindOf(int mode) {
    return IsUpload(mode) ? mode - 5 : mode;
}

} // namespace

class TestStart : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void everyMode_data();
    void everyMode();
    void fileCheckRefuses_data();
    void fileCheckRefuses();
    void deviceFaults_data();
    void deviceFaults();
    void connectGivesUpAfter1999Requests();
    void silentDeviceFailsVerifyOnlyAfterItsPolls();
    void resetOrModeChangeDuringHandshakeEndsQuietly_data();
    void resetOrModeChangeDuringHandshakeEndsQuietly();
    void portPickedAfterResetDuringHandshakeEndsQuietly_data();
    void portPickedAfterResetDuringHandshakeEndsQuietly();
    void fileChosenDuringHandshakeIsCheckedAgain();
    void resetDuringTransferEndsQuietly_data();
    void resetDuringTransferEndsQuietly();
    void lostDeviceIsReported();
    void uploadCoversAFileWholeOrNotAtAll();
    void unsavableUploadFails();
    void uploadNeverReplacesAFileItDidNotChoose_data();
    void uploadNeverReplacesAFileItDidNotChoose();
    void secondUploadToANewNameCoversTheFirst();
    void downloadFileThatShrinksFails();

private:
    QTemporaryDir dir;
    QByteArray images[5];
    QString imagePath[5];
    bool downloaded[3] = {};
    std::unique_ptr<DeviceProcess> sharedDevice;
    std::unique_ptr<DeviceProcess> device;
    std::unique_ptr<DeviceProcess> secondDevice;
    ComOverrides devices; // where each COM number leads
    std::unique_ptr<WindowDriver> window;

    void startDevice(const QStringList &arguments);
    void prepare(int mode, const QString &file);
};

void TestStart::initTestCase() {
    QVERIFY(dir.isValid());
    for (int kind = 0; kind < 5; ++kind) {
        images[kind] = TestImage(ImageSize(kind), 0x5eed + quint32(kind));
        imagePath[kind] = dir.filePath(QString("image-%1.bin").arg(kind));
        QVERIFY(WriteFile(imagePath[kind], images[kind]));
        // A read-only image is only read, so it is sent like any other.
        QFile::setPermissions(imagePath[kind], QFile::ReadOwner | QFile::ReadGroup);
    }
    sharedDevice =
        std::make_unique<DeviceProcess>(QStringList{"--erase-time", "50", "--program-time", "50"});
    QVERIFY2(!sharedDevice->slavePath().isEmpty(), qPrintable(sharedDevice->errorString()));
}

void TestStart::init() {
    devices = {{1, sharedDevice->slavePath()}};
    window = std::make_unique<WindowDriver>();
    window->form.setComPorts([this] { return PointedComPorts(devices); });
}

void TestStart::cleanup() {
    window.reset();
    device.reset();
    secondDevice.reset();
}

// A device of the test's own, with faults, on COM.01.
void TestStart::startDevice(const QStringList &arguments) {
    device = std::make_unique<DeviceProcess>(
        QStringList{"--erase-time", "50", "--program-time", "50"} + arguments);
    QVERIFY2(!device->slavePath().isEmpty(), qPrintable(device->errorString()));
    devices[1] = device->slavePath();
}

void TestStart::prepare(int mode, const QString &file) {
    window->pickMode(mode);
    window->chooseFile(file);
    QCOMPARE(window->fileName->text(), QDir::toNativeSeparators(file));
}

void TestStart::everyMode_data() {
    QTest::addColumn<int>("mode");
    for (int mode = 0; mode < TransferModeCount; ++mode)
        QTest::newRow(TransferModeNames[mode]) << mode;
}

void TestStart::everyMode() {
    QFETCH(int, mode);
    const qint32 size = ImageSize(mode);
    const QString target = dir.filePath(QString("upload-%1.bin").arg(mode));
    QFile::remove(target);
    prepare(mode, IsUpload(mode) ? target : imagePath[kindOf(mode)]);

    window->pressStart();

    QCOMPARE(window->shown, IsUpload(mode) ? uploadTexts(size) : downloadTexts(size));
    QVERIFY(window->panel->isEnabled());
    QVERIFY(window->form.MSComm.PortOpen()); // the port stays open after every operation
    QVERIFY(window->lampIsGreen());
    QCOMPARE(window->bar->value(), 0);
    QVERIFY(window->errors.isEmpty());
    if (!IsUpload(mode)) {
        if (mode < 3)
            downloaded[mode] = true;
        return;
    }
    const QByteArray uploaded = ReadFile(target);
    QCOMPARE(uploaded.size(), size);
    // Download then upload of the same kind returns the same image.
    if (downloaded[kindOf(mode)])
        QVERIFY(uploaded == images[kindOf(mode)]);
}

void TestStart::fileCheckRefuses_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("length"); // -1: no file chosen; -2: chosen, then deleted
    QTest::addColumn<QString>("text");
    QTest::newRow("download, no file") << 0 << -1 << "Can not open download file!";
    QTest::newRow("upload, no file") << 6 << -1 << "Can not open Upload file!";
    QTest::newRow("deleted file") << 1 << -2
                                  << "Find an error, when opening this file, maybe it inexistent!";
    QTest::newRow("one byte short") << 1 << 262143 << "File wrong!";
    QTest::newRow("one byte long") << 1 << 262145 << "File wrong!";
    QTest::newRow("data file as software") << 0 << 262144 << "File wrong!";
    QTest::newRow("64 KiB loader") << 3 << 65536 << "File wrong!";
}

void TestStart::fileCheckRefuses() {
    QFETCH(int, mode);
    QFETCH(int, length);
    QFETCH(QString, text);
    window->pickMode(mode);
    if (length != -1) {
        const QString path = dir.filePath("refused.bin");
        QVERIFY(WriteFile(path, QByteArray(qMax(length, 1), 'x')));
        window->chooseFile(path);
        if (length == -2)
            QVERIFY(QFile::remove(path));
    }
    // A port left open by an earlier pick stays open; a closed one stays closed.
    const bool portOpen = length % 2 == 0;
    if (portOpen)
        window->pickPort(0);
    window->pressStart();
    QCOMPARE(window->shown, QStringList{text});
    QCOMPARE(window->form.MSComm.PortOpen(), portOpen);
    QCOMPARE(window->lampIsGreen(), portOpen);
    QVERIFY(window->errors.isEmpty());
}

void TestStart::deviceFaults_data() {
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("text");
    QTest::newRow("refused data block") << QStringList{"nak-block=5"} << 1 << "Transfer failed!";
    QTest::newRow("silent mid-checksum table")
        << QStringList{"stop-after=1030"} << 1 << "Transfer failed!";
    QTest::newRow("silent mid-download")
        << QStringList{"stop-after=100"} << 2 << "Transfer failed!";
    QTest::newRow("silent mid-upload") << QStringList{"stop-after=100"} << 7 << "Transfer failed!";
    QTest::newRow("bad checksum, download") << QStringList{"bad-checksum"} << 2 << "Verify failed!";
    QTest::newRow("bad checksum, upload") << QStringList{"bad-checksum"} << 7 << "Verify failed!";
    QTest::newRow("flipped bit, upload") << QStringList{"flip-bit=300"} << 7 << "Verify failed!";
    QTest::newRow("erase fails") << QStringList{"erase-fail"} << 3 << "Erase flash failed!";
    QTest::newRow("program fails") << QStringList{"program-fail"} << 3 << "Program flash failed!";
    QTest::newRow("stray byte, then connects")
        << QStringList{"stray-byte"} << 2 << "Update Success!";
    QTest::newRow("late replies") << QStringList{"reply-delay=2"} << 2 << "Update Success!";
}

void TestStart::deviceFaults() {
    QFETCH(QStringList, faults);
    QFETCH(int, mode);
    QFETCH(QString, text);
    QStringList arguments{"--trace"};
    for (const QString &fault : faults)
        arguments << "--fault" << fault;
    startDevice(arguments);
    const QString target = dir.filePath("fault-upload.bin");
    QFile::remove(target);
    prepare(mode, IsUpload(mode) ? target : imagePath[kindOf(mode)]);

    window->pressStart();

    if (window->shown.last() != text) {
        QFile log(QDir::temp().filePath("torvane-device-fault.log"));
        if (log.open(QIODevice::WriteOnly))
            log.write(device->stderrText().toLocal8Bit());
        qWarning() << window->shown.mid(window->shown.size() - 6) << "device trace in"
                   << log.fileName();
    }
    QCOMPARE(window->shown.last(), text);
    QVERIFY(window->panel->isEnabled());
    QVERIFY(window->form.MSComm.PortOpen());
    QVERIFY(window->errors.isEmpty());
    // A failed upload writes no file.
    if (IsUpload(mode))
        QCOMPARE(QFile::exists(target), text == "Update Success!");
}

void TestStart::connectGivesUpAfter1999Requests() {
    startDevice({"--fault", "silent"});
    window->form.MSComm.setPollPause(20us);
    int requests = 0;
    window->form.MSComm.setTraceSink([&](TMSComm::Direction direction, const QByteArray &bytes) {
        if (direction == TMSComm::Direction::Sent && bytes == "@KZVNTDPO")
            ++requests;
    });
    prepare(1, imagePath[1]);
    window->pressStart();
    QCOMPARE(window->shown, (QStringList{"Connectting...", "Connect failed!"}));
    QCOMPARE(requests, 1999);
    QVERIFY(window->panel->isEnabled()); // never disabled on this path
    QVERIFY(window->form.MSComm.PortOpen());
}

void TestStart::silentDeviceFailsVerifyOnlyAfterItsPolls() {
    // Silent once the 512 data blocks and 8 checksum blocks are in: the verify wait runs out.
    startDevice({"--fault", "stop-after=520"});
    const auto pause = 20us;
    window->form.MSComm.setPollPause(pause);
    prepare(2, imagePath[2]);
    QElapsedTimer waited;
    window->onStatus = [&](const QString &text) {
        if (text == "Verify...")
            waited.start();
    };
    window->pressStart();
    QCOMPARE(window->shown.last(), QString("Verify failed!"));
    // Each of the 100,000 polls pauses at least the poll pause when nothing has come.
    QVERIFY2(waited.nsecsElapsed() >= 100000 * std::chrono::nanoseconds(pause).count(),
             qPrintable(QString::number(waited.elapsed())));
    QVERIFY(window->panel->isEnabled());
}

void TestStart::resetOrModeChangeDuringHandshakeEndsQuietly_data() {
    QTest::addColumn<bool>("reset");
    QTest::newRow("Reset") << true;
    QTest::newRow("mode change") << false;
}

void TestStart::resetOrModeChangeDuringHandshakeEndsQuietly() {
    QFETCH(bool, reset);
    startDevice({"--fault", "silent"});
    prepare(1, imagePath[1]);
    QTimer::singleShot(200, [&] {
        QCOMPARE(window->form.statusText(), QString("Connectting..."));
        // A second Start while the handshake runs is ignored.
        window->start->click();
        if (reset)
            window->reset->click();
        else
            window->pickMode(6);
    });
    QElapsedTimer timer;
    timer.start();
    window->pressStart();
    QCOMPARE(window->shown, (QStringList{"Connectting...", ""}));
    QVERIFY(timer.elapsed() < 1900); // ended at once: no 2-second pause after a failed connect
    QVERIFY(!window->form.MSComm.PortOpen());
    QVERIFY(!window->lampIsGreen());
    QCOMPARE(window->open->text(), reset ? QString("Open") : QString("Save"));
}

void TestStart::portPickedAfterResetDuringHandshakeEndsQuietly_data() {
    QTest::addColumn<bool>("reset");
    QTest::newRow("Reset") << true;
    QTest::newRow("mode change") << false;
}

void TestStart::portPickedAfterResetDuringHandshakeEndsQuietly() {
    // COM.01 never answers; COM.02 does. After Reset or a mode change the operator picks
    // COM.02 while the handshake still runs, and the device there answers it.
    QFETCH(bool, reset);
    startDevice({"--fault", "silent"});
    secondDevice = std::make_unique<DeviceProcess>(QStringList{});
    devices[2] = secondDevice->slavePath();
    prepare(1, imagePath[1]);
    QTimer::singleShot(100, [&] {
        if (reset)
            window->reset->click();
        else
            window->pickMode(6);
        window->pickPort(1);
    });
    window->pressStart();
    QCOMPARE(window->shown, (QStringList{"Connectting...", ""}));
    QVERIFY(window->panel->isEnabled());
    QVERIFY(!window->form.state().OperationRunning);
    QVERIFY(window->form.MSComm.PortOpen()); // the port picked last stays open
}

void TestStart::fileChosenDuringHandshakeIsCheckedAgain() {
    // "Download Data" checked with a right-sized file; during the handshake the operator
    // chooses the software image instead, then a port whose device answers.
    startDevice({"--fault", "silent"});
    secondDevice = std::make_unique<DeviceProcess>(QStringList{"--trace"});
    devices[2] = secondDevice->slavePath();
    prepare(1, imagePath[1]);
    QTimer::singleShot(100, [&] {
        window->chooseFile(imagePath[0]);
        window->pickPort(1);
    });
    window->pressStart();
    QCOMPARE(window->shown.last(), QString("Transfer failed!"));
    QVERIFY(window->panel->isEnabled());
    QVERIFY2(!secondDevice->stderrText().contains("data block"),
             "no block of a file of the wrong size went out");
}

void TestStart::resetDuringTransferEndsQuietly_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("when");
    QTest::newRow("download data") << 1 << "Transfering Data:  10%";
    QTest::newRow("download checksums") << 0 << "Transfering CRC:  50%";
    QTest::newRow("download verify") << 2 << "Verify...";
    QTest::newRow("upload") << 6 << "Transfering:  10%";
}

void TestStart::resetDuringTransferEndsQuietly() {
    QFETCH(int, mode);
    QFETCH(QString, when);
    startDevice({"--erase-time", "1000"});
    const QString target = dir.filePath("reset-upload.bin");
    QFile::remove(target);
    prepare(mode, IsUpload(mode) ? target : imagePath[kindOf(mode)]);
    bool pressed = false;
    window->onStatus = [&](const QString &text) {
        if (text != when || pressed)
            return;
        pressed = true;
        // The operator can act only while the window handles its events.
        QTimer::singleShot(0, [&] {
            QVERIFY(!window->panel->isEnabled());
            window->reset->click();
            // Reset gives the panel back; Start pressed now is ignored while the operation ends.
            window->start->click();
        });
    };
    window->pressStart();
    QVERIFY(pressed);
    QCOMPARE(window->shown.last(), QString());
    QVERIFY(window->panel->isEnabled());
    QVERIFY(!window->form.MSComm.PortOpen());
    QVERIFY(window->errors.isEmpty());
    QVERIFY(!QFile::exists(target));
    QVERIFY(!window->form.state().ImageFileHandle);

    // The window is ready for the next operation.
    window->onStatus = nullptr;
    prepare(2, imagePath[2]);
    window->pressStart();
    QCOMPARE(window->shown.last(), QString("Update Success!"));
}

void TestStart::lostDeviceIsReported() {
    startDevice({"--fault", "hangup-after=40"});
    prepare(1, imagePath[1]);
    window->pressStart();
    QCOMPARE(window->errors.size(), 1);
    QVERIFY2(window->errors[0].contains("lost"), qPrintable(window->errors[0]));
    QVERIFY(window->panel->isEnabled());
    QVERIFY(!window->form.MSComm.PortOpen());
    QVERIFY(!window->lampIsGreen());
    QVERIFY(!window->form.state().ImageFileHandle);
}

void TestStart::uploadCoversAFileWholeOrNotAtAll() {
    // A longer file covered by an upload ends exactly as long as the image.
    const QString target = dir.filePath("covered.bin");
    const QByteArray old(ImageSize(7) + 5000, 'o');
    QVERIFY(WriteFile(target, old));
    prepare(7, target);
    QVERIFY(!window->form.state().CreateNewFile);
    window->pressStart();
    QCOMPARE(window->shown.last(), QString("Update Success!"));
    const QByteArray covered = ReadFile(target);
    QCOMPARE(covered.size(), ImageSize(7));

    // A failed upload leaves the file that was there as it was.
    startDevice({"--fault", "bad-checksum"});
    window->pressStart();
    QCOMPARE(window->shown.last(), QString("Verify failed!"));
    QVERIFY(ReadFile(target) == covered);
}

void TestStart::unsavableUploadFails() {
    QTemporaryDir gone;
    const QString target = gone.filePath("image.bin");
    prepare(7, target);
    QVERIFY(gone.remove());
    window->pressStart();
    QCOMPARE(window->shown.last(), QString("Set up File failed!"));
    QVERIFY(!QFile::exists(target));
    QVERIFY(window->panel->isEnabled());
}

void TestStart::uploadNeverReplacesAFileItDidNotChoose_data() {
    QTest::addColumn<bool>("pipe");
    QTest::newRow("a file that turned up during the upload") << false;
    QTest::newRow("a pipe chosen as the target") << true;
}

void TestStart::uploadNeverReplacesAFileItDidNotChoose() {
    QFETCH(bool, pipe);
    const QString target = dir.filePath(pipe ? "pipe.bin" : "appeared.bin");
    QFile::remove(target);
    if (pipe)
        QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
    prepare(7, target); // a new name: the upload is to create it; a pipe: covered after Yes
    const QByteArray theirs = "somebody else's file";
    window->onStatus = [&](const QString &text) {
        if (!pipe && text == "Transfering:  50%")
            QVERIFY(WriteFile(target, theirs));
    };
    window->pressStart();
    QCOMPARE(window->shown.last(), QString("Set up File failed!"));
    if (pipe)
        QVERIFY(!QFileInfo(target).isFile());
    else
        QCOMPARE(ReadFile(target), theirs);
    QCOMPARE(QDir(dir.path()).entryList({".*.XXXXXX", ".appeared*", ".pipe*"}, QDir::Hidden),
             QStringList()); // nothing half-written left beside it
}

void TestStart::secondUploadToANewNameCoversTheFirst() {
    const QString target = dir.filePath("twice.bin");
    QFile::remove(target);
    prepare(7, target);
    QVERIFY(window->form.state().CreateNewFile);
    window->pressStart();
    QCOMPARE(window->shown.last(), QString("Update Success!"));
    const QFileInfo made(target);
    QCOMPARE(made.size(), qint64(ImageSize(7)));
    // A new file's permissions, as any program of the operator's would make it.
    QVERIFY(made.permissions().testFlag(QFile::ReadOther) ||
            made.permissions().testFlag(QFile::ReadGroup));
    window->pressStart();
    QCOMPARE(window->shown.last(), QString("Update Success!"));
    QCOMPARE(QFileInfo(target).size(), qint64(ImageSize(7)));
}

void TestStart::downloadFileThatShrinksFails() {
    const QString path = dir.filePath("shrinking.bin");
    QVERIFY(WriteFile(path, images[1]));
    prepare(1, path);
    window->onStatus = [&](const QString &text) {
        if (text == "Transfering Data:  20%")
            QVERIFY(QFile::resize(path, 1000));
    };
    window->pressStart();
    QCOMPARE(window->shown.last(), QString("Transfer failed!"));
    QVERIFY(!window->shown.contains("Transfering CRC:  0%"));
    QVERIFY(window->panel->isEnabled());
}

QTEST_MAIN(TestStart)
#include "tst_start.moc"
