// Start, end to end: the real window drives the real device emulator on a pseudo-terminal.
#include "link/transfer_mode.h"
#include "ops/status_text.h"
#include "ports/com_numbering.h"
#include "support/device_process.h"
#include "support/images.h"
#include "window_driver.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

QStringList collapsed(const QStringList &texts) {
    QStringList out;
    for (const QString &t : texts)
        if (out.isEmpty() || out.last() != t)
            out << t;
    return out;
}

QStringList texts(std::initializer_list<StatusCode> codes) {
    QStringList t;
    for (const StatusCode code : codes)
        t << StatusText(code);
    return t;
}

// Every text a successful operation shows, in order, as the status line shows them.
QStringList downloadTexts(qint32 size) {
    using S = StatusCode;
    QStringList t = texts({S::Connecting, S::ConnectSuccess, S::Transfer});
    for (qint64 offset = 256; offset <= size; offset += 256)
        t << StatusText(S::TransferSuccess)
          << QString("Transfering Data:  %1%").arg(offset * 100 / size);
    const qint64 table = size / 64;
    for (qint64 offset = 256; offset <= table; offset += 256)
        t << StatusText(S::TransferSuccess)
          << QString("Transfering CRC:  %1%").arg(offset * 100 / table);
    t << texts({S::TransferSuccess, S::Verify, S::VerifySuccess, S::EraseFlash,
                S::EraseFlashSuccess, S::ProgramFlash, S::ProgramFlashSuccess,
                S::EraseEepromSuccess, S::UpdateSuccess});
    return collapsed(t);
}

QStringList uploadTexts(qint32 size) {
    using S = StatusCode;
    QStringList t = texts({S::Connecting, S::ConnectSuccess, S::Transfer});
    const qint64 blocks = size / 256 + size / 16384;
    for (qint64 i = 0; i < blocks; ++i)
        t << QString("Transfering:  %1%").arg(i * 100 / (blocks - 1));
    t << texts({S::TransferSuccess, S::Verify, S::VerifySuccess, S::UpdateSuccess});
    return collapsed(t);
}

// The kind of image a mode moves: uploads bring back what downloads of the same kind stored.
int kindOf(int mode) {
    return IsUpload(TransferMode(mode)) ? mode - 5 : mode;
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
    void resetDuringTransferEndsQuietly_data();
    void resetDuringTransferEndsQuietly();
    void lostDeviceIsReported();
    void secondUploadToANewNameCoversTheFirst();

private:
    QTemporaryDir dir;
    QByteArray images[5];
    QString imagePath[5];
    bool downloaded[3] = {};
    std::unique_ptr<DeviceProcess> sharedDevice;
    std::unique_ptr<DeviceProcess> device;
    ComOverrides devices; // where each COM number leads
    std::unique_ptr<WindowDriver> window;

    void startDevice(const QStringList &arguments);
    void prepare(int mode, const QString &file);
};

void TestStart::initTestCase() {
    QVERIFY(dir.isValid());
    for (int kind = 0; kind < 5; ++kind) {
        images[kind] = TestImage(ImageSize(TransferMode(kind)), 0x5eed + quint32(kind));
        imagePath[kind] = dir.filePath(QString("image-%1.bin").arg(kind));
        QVERIFY(WriteFile(imagePath[kind], images[kind]));
        // A read-only image is only read, so it is sent like any other.
        QFile::setPermissions(imagePath[kind], QFile::ReadOwner | QFile::ReadGroup);
    }
    // A boot loader slow to answer the connect request, which takes a second request for the
    // start of the operation: every mode waits for its answer rather than ask again.
    sharedDevice = std::make_unique<DeviceProcess>(
        QStringList{"--erase-time", "50", "--program-time", "50", "--fault", "answer-once",
                    "--fault", "answer-every=300"});
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
    const qint32 size = ImageSize(TransferMode(mode));
    const QString target = dir.filePath(QString("upload-%1.bin").arg(mode));
    QFile::remove(target);
    prepare(mode, IsUpload(TransferMode(mode)) ? target : imagePath[kindOf(mode)]);
    window->form.MSComm.setPollPause(PatientPollPause);

    window->pressStart();

    QCOMPARE(window->shown, IsUpload(TransferMode(mode)) ? uploadTexts(size) : downloadTexts(size));
    QVERIFY(window->panel->isEnabled());
    QVERIFY(window->form.MSComm.PortOpen()); // the port stays open after every operation
    QVERIFY(window->lampIsGreen());
    QCOMPARE(window->bar->value(), 0);
    QVERIFY(window->errors.isEmpty());
    if (!IsUpload(TransferMode(mode))) {
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

void TestStart::resetDuringTransferEndsQuietly_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("when");
    QTest::newRow("download") << 1 << "Transfering Data:  10%";
    QTest::newRow("upload") << 6 << "Transfering:  10%";
}

void TestStart::resetDuringTransferEndsQuietly() {
    QFETCH(int, mode);
    QFETCH(QString, when);
    startDevice({"--erase-time", "1000"});
    const QString target = dir.filePath("reset-upload.bin");
    QFile::remove(target);
    prepare(mode, IsUpload(TransferMode(mode)) ? target : imagePath[kindOf(mode)]);
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
    QCOMPARE(window->shown.last(), StatusText(StatusCode::UpdateSuccess));
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

void TestStart::secondUploadToANewNameCoversTheFirst() {
    const QString target = dir.filePath("twice.bin");
    QFile::remove(target);
    prepare(7, target);
    QVERIFY(window->form.state().CreateNewFile);
    window->pressStart();
    QCOMPARE(window->shown.last(), StatusText(StatusCode::UpdateSuccess));
    const QFileInfo made(target);
    QCOMPARE(made.size(), qint64(ImageSize(TransferMode(7))));
    // A new file's permissions, as any program of the operator's would make it.
    QVERIFY(made.permissions().testFlag(QFile::ReadOther) ||
            made.permissions().testFlag(QFile::ReadGroup));
    window->pressStart();
    QCOMPARE(window->shown.last(), StatusText(StatusCode::UpdateSuccess));
    QCOMPARE(QFileInfo(target).size(), qint64(ImageSize(TransferMode(7))));
}

QTEST_MAIN(TestStart)
#include "tst_start.moc"
