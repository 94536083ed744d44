// The real torvane-device on a real pseudo-terminal, with link's own frames, blocks and handshake
// playing the tool.
#include "link/blocks.h"
#include "link/checksum_table.h"
#include "link/com_numbering.h"
#include "link/comm_error.h"
#include "link/frames.h"
#include "link/handshake.h"
#include "link/line.h"
#include "link/port_console.h"
#include "link/port_opening.h"
#include "link/tmscomm.h"
#include "link/transfer_mode.h"
#include "support/device_process.h"
#include "support/images.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

using namespace std::chrono_literals;

namespace {

const QStringList QuickFlash{"--erase-time", "20", "--program-time", "30"};

// The window as the link sees it, with nothing to do between polls.
struct QuietConsole : PortConsole {
    QStringList errors;
    int selectedPortIndex() const override { return 0; }
    void setPortLamp(bool) override {}
    void showError(const QString &text) override { errors << text; }
    void processEvents() override {}
};

// The tool's side: opens "COM.01", mapped to the device's terminal, as every Start does.
struct Host {
    explicit Host(const QString &path) : line(comm, console) {
        comm.setComPorts([path] { return PointedComPorts({{1, path}}); });
        comm.setTraceSink([this](TMSComm::Direction direction, const QByteArray &bytes) {
            if (direction == TMSComm::Direction::Sent && bytes.size() == FrameLength)
                sentFrames << bytes;
        });
    }
    bool open() { return OpenComPort(line); }

    TMSComm comm;
    QuietConsole console;
    Line line;
    QByteArrayList sentFrames;
};

// A download as the tool runs it; "ok" or the step that failed.
QString download(Host &host, int mode, const QByteArray &image) {
    try {
        if (!host.open() || !ConnectDevice(host.line, mode))
            return QStringLiteral("connect");
        const QByteArray all = image + CrcTableOf(image);
        for (int k = 0; k < all.size() / BlockSize; ++k) {
            Block block;
            std::memcpy(block.data(), all.constData() + qsizetype(k) * BlockSize, BlockSize);
            if (!SendBlock(host.line, block))
                return QStringLiteral("block %1").arg(k);
        }
        if (!WaitReply(host.line, CommandCode::RCVS, CommandCode::RCVF, 100000))
            return QStringLiteral("verify");
        if (!WaitReply(host.line, CommandCode::REFS, CommandCode::REFF, 100000))
            return QStringLiteral("erase");
        if (!WaitReply(host.line, CommandCode::RWFS, CommandCode::RWFF, 150000))
            return QStringLiteral("program");
        return QStringLiteral("ok");
    } catch (const CommError &e) {
        return e.kind() == CommError::Kind::DeviceLost ? QStringLiteral("device lost")
                                                       : e.message();
    }
}

// An upload as the tool runs it: every block acknowledged, then the verdict and the flash frames.
QString upload(Host &host, int mode, QByteArray *image) {
    try {
        if (!host.open() || !ConnectDevice(host.line, mode))
            return QStringLiteral("connect");
        TMSComm &comm = host.comm;
        comm.setInputMode(TMSComm::comInputModeBinary);
        comm.setInputLen(BlockSize);
        const int dataBlocks = ImageSize(mode) / BlockSize;
        const int total = dataBlocks + ChecksumBlocks(dataBlocks);
        QByteArray got;
        for (int k = 0; k < total; ++k) {
            for (int poll = 0; poll < 1001 && comm.InBufferCount() < BlockSize; ++poll)
                comm.PollPause(BlockSize);
            if (comm.InBufferCount() < BlockSize) {
                SendCommand(host.line, CommandCode::RRFD);
                return QStringLiteral("block %1").arg(k);
            }
            got += comm.Input();
            SendCommand(host.line, CommandCode::RRSS);
        }
        *image = got.left(qsizetype(dataBlocks) * BlockSize);
        const bool match = got.mid(image->size()) == CrcTableOf(*image);
        SendCommand(host.line, match ? CommandCode::RCVS : CommandCode::RCVF);
        if (!match)
            return QStringLiteral("verify");
        SendCommand(host.line, CommandCode::REFS);
        SendCommand(host.line, CommandCode::RWFS);
        return QStringLiteral("ok");
    } catch (const CommError &e) {
        return e.kind() == CommError::Kind::DeviceLost ? QStringLiteral("device lost")
                                                       : e.message();
    }
}

QString run(Host &host, int mode, const QByteArray &image = {}) {
    QByteArray received;
    return IsUpload(mode) ? upload(host, mode, &received) : download(host, mode, image);
}

} // namespace

class TestDeviceProgram : public QObject {
    Q_OBJECT
private slots:
    void roundTripReturnsTheImage_data();
    void roundTripReturnsTheImage();
    void storeOutlivesTheDevice();
    void faultsSeenByTheTool_data();
    void faultsSeenByTheTool();
    void linkAndCleanExit();
    void onceServesOneOperation();
    void traceShowsFramesAndBlocks();
    void helpAndBadArguments();
};

void TestDeviceProgram::roundTripReturnsTheImage_data() {
    QTest::addColumn<int>("mode");
    for (int mode = 0; mode <= 2; ++mode)
        QTest::newRow(TransferModeNames[mode]) << mode;
}

void TestDeviceProgram::roundTripReturnsTheImage() {
    QFETCH(int, mode);
    DeviceProcess device(QuickFlash);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    Host host(device.slavePath());
    const QByteArray image = TestImage(ImageSize(mode), quint32(mode) + 1);
    QCOMPARE(download(host, mode, image), QStringLiteral("ok"));
    QByteArray back;
    QCOMPARE(upload(host, mode + 5, &back), QStringLiteral("ok"));
    QVERIFY(back == image);
    // The device serves the next operation too, here an upload of a kind never stored.
    QCOMPARE(upload(host, mode == 0 ? 6 : 5, &back), QStringLiteral("ok"));
    QVERIFY(back != image);
    QCOMPARE(device.stop(), 0);
}

void TestDeviceProgram::storeOutlivesTheDevice() {
    QTemporaryDir dir;
    const QStringList args = QuickFlash + QStringList{"--store", dir.path()};
    const QByteArray loader = TestImage(ImageSize(3), 31);
    const QByteArray all = TestImage(ImageSize(4), 41);
    const QByteArray defaults = TestImage(ImageSize(2), 21);
    {
        DeviceProcess device(args);
        Host host(device.slavePath());
        QCOMPARE(download(host, 3, loader), QStringLiteral("ok"));
        QCOMPARE(download(host, 4, all), QStringLiteral("ok"));
        QCOMPARE(download(host, 2, defaults), QStringLiteral("ok"));
        QCOMPARE(device.stop(), 0);
    }
    QVERIFY(ReadFile(dir.filePath("loader.bin")) == loader);
    QVERIFY(ReadFile(dir.filePath("all.bin")) == all);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
             (QStringList{"all.bin", "default.bin", "loader.bin"}));

    DeviceProcess device(args);
    Host host(device.slavePath());
    QByteArray back;
    QCOMPARE(upload(host, 7, &back), QStringLiteral("ok"));
    QVERIFY(back == defaults);
}

void TestDeviceProgram::faultsSeenByTheTool_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<bool>("waitsOnSilence");
    QTest::newRow("silent") << "silent" << 1 << "connect" << true;
    QTest::newRow("wrong-reply") << "wrong-reply" << 6 << "connect" << true;
    QTest::newRow("reply-delay, too late to connect")
        << "reply-delay=3000" << 2 << "connect" << true;
    QTest::newRow("reply-delay, slow") << "reply-delay=2" << 2 << "ok" << false;
    QTest::newRow("stray-byte") << "stray-byte" << 7 << "ok" << false;
    QTest::newRow("nak-block") << "nak-block=3" << 2 << "block 3" << false;
    QTest::newRow("stop-after, download") << "stop-after=5" << 2 << "block 5" << false;
    QTest::newRow("stop-after, upload") << "stop-after=5" << 7 << "block 5" << false;
    QTest::newRow("bad-checksum, download") << "bad-checksum" << 2 << "verify" << false;
    QTest::newRow("bad-checksum, upload") << "bad-checksum" << 7 << "verify" << false;
    QTest::newRow("erase-fail") << "erase-fail" << 2 << "erase" << false;
    QTest::newRow("program-fail") << "program-fail" << 2 << "program" << false;
    QTest::newRow("flip-bit") << "flip-bit=7" << 7 << "verify" << false;
    QTest::newRow("hangup-after, download") << "hangup-after=10" << 2 << "device lost" << false;
    QTest::newRow("hangup-after, upload") << "hangup-after=10" << 7 << "device lost" << false;
}

void TestDeviceProgram::faultsSeenByTheTool() {
    QFETCH(QString, fault);
    QFETCH(int, mode);
    QFETCH(QString, outcome);
    QFETCH(bool, waitsOnSilence);
    DeviceProcess device(QuickFlash + QStringList{"--fault", fault});
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    Host host(device.slavePath());
    if (waitsOnSilence)
        host.comm.setPollPause(50us);
    QCOMPARE(run(host, mode, TestImage(ImageSize(mode), 5)), outcome);

    if (fault == "stray-byte") // the first attempt failed on the stray byte, the second connected
        QCOMPARE(host.sentFrames.count(FrameOf(CommandCode::RFPO)), 2);
    if (fault.startsWith("hangup-after")) {
        QVERIFY(device.waitForFinished(5000));
        QCOMPARE(device.exitCode(), 0);
        return;
    }
    // Whatever went wrong, a device that answers at all serves the next operation.
    if (!waitsOnSilence)
        QVERIFY(host.open() && ConnectDevice(host.line, 5));
    QCOMPARE(device.stop(), 0);
}

void TestDeviceProgram::linkAndCleanExit() {
    QTemporaryDir dir;
    const QString link = dir.filePath("ttyDEVICE");
    DeviceProcess device({"--link", link});
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QCOMPARE(QFileInfo(link).symLinkTarget(), device.slavePath());
    // The tool opens the port by the link, closes it and opens it again, as at every Start.
    Host host(link);
    QCOMPARE(download(host, 2, TestImage(ImageSize(2), 3)), QStringLiteral("ok"));
    host.comm.setPortOpen(false);
    QVERIFY(host.open() && ConnectDevice(host.line, 7));
    QCOMPARE(device.stop(), 0);
    QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());

    // A file that is no link is never replaced.
    QFile plain(dir.filePath("plain"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    DeviceProcess refused({"--link", plain.fileName()});
    QVERIFY(refused.slavePath().isEmpty());
    QVERIFY(refused.waitForFinished());
    QCOMPARE(refused.exitCode(), 1);
    QVERIFY(QFileInfo(plain.fileName()).isFile());
}

void TestDeviceProgram::onceServesOneOperation() {
    DeviceProcess device(QuickFlash + QStringList{"--once"});
    Host host(device.slavePath());
    QByteArray back;
    QCOMPARE(upload(host, 6, &back), QStringLiteral("ok"));
    QVERIFY(device.waitForFinished(5000));
    QCOMPARE(device.exitCode(), 0);
}

void TestDeviceProgram::traceShowsFramesAndBlocks() {
    DeviceProcess device(QuickFlash + QStringList{"--trace"});
    Host host(device.slavePath());
    QCOMPARE(download(host, 2, TestImage(ImageSize(2), 9)), QStringLiteral("ok"));
    QCOMPARE(device.stop(), 0);
    const QString trace = device.stderrText();
    for (const char *expected : {"<- @KZVNTFPO  connect request, Download Default", "-> @KZVNRFPO",
                                 "<- data block 0/512, crc ",
                                 "<- checksum block 7/8: ", "-> @KZVNRWFS", "default image stored"})
        QVERIFY2(trace.contains(QLatin1String(expected)), expected);
    QCOMPARE(trace.count("-> @KZVNRRSS"), 520);
}

void TestDeviceProgram::helpAndBadArguments() {
    QProcess help;
    help.start(DeviceProcess::programPath(), {"--help"});
    QVERIFY(help.waitForFinished(5000));
    QCOMPARE(help.exitCode(), 0);
    const QString text = QString::fromLocal8Bit(help.readAllStandardOutput());
    for (const char *word : {"--link", "--once", "--store", "--trace", "--pace", "--erase-time",
                             "--program-time", "--fault", "silent", "nak-block=N", "wrong-reply",
                             "stray-byte", "bad-checksum", "erase-fail", "program-fail",
                             "stop-after=N", "hangup-after=N", "reply-delay=MS", "flip-bit=K"})
        QVERIFY2(text.contains(QLatin1String(word)), word);

    for (const QStringList &bad : {QStringList{"--fault", "loud"}, QStringList{"--pace", "0"},
                                   QStringList{"--erase-time", "soon"}}) {
        QProcess refused;
        refused.start(DeviceProcess::programPath(), bad);
        QVERIFY(refused.waitForFinished(5000));
        QCOMPARE(refused.exitCode(), 1);
        QVERIFY(refused.readAllStandardOutput().isEmpty()); // no path: the device never started
        QVERIFY(!refused.readAllStandardError().isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestDeviceProgram)
#include "tst_device_program.moc"
