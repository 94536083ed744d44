// The real torvane-device on a real pseudo-terminal, with link's own frames, blocks and handshake
// playing the tool.
#include "link/blocks.h"
#include "link/checksum_table.h"
#include "link/comm_error.h"
#include "link/event_pump.h"
#include "link/frames.h"
#include "link/handshake.h"
#include "link/line.h"
#include "link/port_opening.h"
#include "link/tmscomm.h"
#include "link/transfer_mode.h"
#include "support/device_process.h"
#include "support/images.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QStringList QuickFlash{"--erase-time", "20", "--program-time", "30"};

// Nothing to do between polls.
struct QuietPump : EventPump {
    void processEvents() override {}
};

// The tool's side: opens "COM.01", mapped to the device's terminal, as every Start does.
struct Host {
    explicit Host(const QString &path) : line(comm, pump) {
        comm.setPortResolver([path](int) { return TMSComm::PortTarget{path, {}}; });
        comm.setTraceSink([this](TMSComm::Direction direction, const QByteArray &bytes) {
            if (direction == TMSComm::Direction::Sent && bytes.size() == FrameLength)
                sentFrames << bytes;
        });
    }
    bool open() { return !OpenComPort(comm, 0); }

    TMSComm comm;
    QuietPump pump;
    Line line;
    QByteArrayList sentFrames;
};

// A download as the tool runs it; "ok" or the step that failed.
QString download(Host &host, int mode, const QByteArray &image) {
    try {
        if (!host.open() || !ConnectDevice(host.line, TransferMode(mode)))
            return QStringLiteral("connect");
        const QByteArray all = image + CrcTableOf(image);
        for (int k = 0; k < all.size() / BlockSize; ++k) {
            Block block;
            std::memcpy(block.data(), all.constData() + qsizetype(k) * BlockSize, BlockSize);
            if (!SendBlock(host.line, block))
                return QStringLiteral("block %1").arg(k);
        }
        if (!WaitReply(host.line, CommandCode::RCVS, 100000))
            return QStringLiteral("verify");
        if (!WaitReply(host.line, CommandCode::REFS, 100000))
            return QStringLiteral("erase");
        if (!WaitReply(host.line, CommandCode::RWFS, 150000))
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
        if (!host.open() || !ConnectDevice(host.line, TransferMode(mode)))
            return QStringLiteral("connect");
        TMSComm &comm = host.comm;
        comm.setInputMode(TMSComm::comInputModeBinary);
        comm.setInputLen(BlockSize);
        const int dataBlocks = ImageSize(TransferMode(mode)) / BlockSize;
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

// The tool's end of a terminal, raw: for what link's component would not do (flood, sit idle).
struct RawPort {
    explicit RawPort(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~RawPort() {
        if (fd >= 0)
            ::close(fd);
    }
    // The events seen within `timeoutMs`.
    short wait(short events, int timeoutMs) const {
        pollfd p{fd, events, 0};
        return ::poll(&p, 1, timeoutMs) > 0 ? p.revents : short(0);
    }
    // Reads until the device has been quiet for a while.
    qint64 drain() const {
        qint64 total = 0;
        char buffer[65536];
        while (wait(POLLIN, 200) & POLLIN) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            total += n;
        }
        return total;
    }
    int fd;
};

// The device's peak memory so far, in kB.
qint64 PeakMemoryKb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

void SendControl(const QString &dir, const QByteArray &command) {
    QFile control(QDir(dir).filePath(QStringLiteral("control")));
    QVERIFY(control.open(QIODevice::WriteOnly));
    QCOMPARE(control.write(command + '\n'), command.size() + 1);
}

QString run(Host &host, int mode, const QByteArray &image = {}) {
    QByteArray received;
    return IsUpload(TransferMode(mode)) ? upload(host, mode, &received)
                                        : download(host, mode, image);
}

} // namespace

class TestDeviceProgram : public QObject {
    Q_OBJECT
private slots:
    void storeOutlivesTheDevice();
    void faultsSeenByTheTool_data();
    void faultsSeenByTheTool();
    void linkAndCleanExit();
    void onceServesOneOperation_data();
    void onceServesOneOperation();
    void traceShowsFramesAndBlocks();
    void helpAndBadArguments();
    void floodIsDroppedNotHeld();
    void stationGivesEachDeviceItsFaults();
    void stationDeviceUnpluggedAndBack();
    void lastCloseDropsExclusiveMode();
};

void TestDeviceProgram::storeOutlivesTheDevice() {
    QTemporaryDir dir;
    const QStringList args = QuickFlash + QStringList{"--store", dir.path()};
    const QByteArray loader = TestImage(ImageSize(TransferMode(3)), 31);
    const QByteArray all = TestImage(ImageSize(TransferMode(4)), 41);
    const QByteArray defaults = TestImage(ImageSize(TransferMode(2)), 21);
    {
        DeviceProcess device(args);
        Host host(device.slavePath());
        host.comm.setPollPause(PatientPollPause);
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
    host.comm.setPollPause(PatientPollPause);
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
        << "reply-delay=60000" << 2 << "connect" << true;
    QTest::newRow("reply-delay, slow") << "reply-delay=2" << 2 << "ok" << false;
    QTest::newRow("stray-byte") << "stray-byte" << 7 << "ok" << false;
    QTest::newRow("nak-block") << "nak-block=3" << 2 << "block 3" << false;
    QTest::newRow("stop-after, upload") << "stop-after=5" << 7 << "block 5" << false;
    QTest::newRow("bad-checksum, upload") << "bad-checksum" << 7 << "verify" << false;
    QTest::newRow("program-fail") << "program-fail" << 2 << "program" << false;
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
    QCOMPARE(run(host, mode, TestImage(ImageSize(TransferMode(mode)), 5)), outcome);

    // The first attempt failed on the stray byte; a busy machine may need more.
    if (fault == "stray-byte")
        QVERIFY(host.sentFrames.count(FrameOf(CommandCode::RFPO)) >= 2);
    if (fault.startsWith("hangup-after")) {
        QVERIFY(device.waitForFinished(5000));
        QCOMPARE(device.exitCode(), 0);
        return;
    }
    // Whatever went wrong, a device that answers at all serves the next operation.
    if (!waitsOnSilence)
        QVERIFY(host.open() && ConnectDevice(host.line, TransferMode(5)));
    QCOMPARE(device.stop(), 0);
}

void TestDeviceProgram::linkAndCleanExit() {
    QTemporaryDir dir;
    const QString link = dir.filePath("ttyDEVICE");
    DeviceProcess device({"--link", link});
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QCOMPARE(QFileInfo(link).symLinkTarget(), device.slavePath());
    {
        // A second device leaves a running one's link alone.
        DeviceProcess second({"--link", link});
        QVERIFY(second.slavePath().isEmpty());
        QVERIFY(second.waitForFinished());
        QCOMPARE(second.exitCode(), 1);
        QCOMPARE(QFileInfo(link).symLinkTarget(), device.slavePath());
    }
    // The tool opens the port by the link, closes it and opens it again, as at every Start.
    Host host(link);
    QCOMPARE(download(host, 2, TestImage(ImageSize(TransferMode(2)), 3)), QStringLiteral("ok"));
    host.comm.setPortOpen(false);
    QVERIFY(host.open() && ConnectDevice(host.line, TransferMode(7)));
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

void TestDeviceProgram::onceServesOneOperation_data() {
    QTest::addColumn<int>("mode");
    QTest::newRow("upload") << 6;
    // The device's last answer, RWFS, reaches the tool before the line goes with the device.
    QTest::newRow("download") << 2;
}

void TestDeviceProgram::onceServesOneOperation() {
    QFETCH(int, mode);
    DeviceProcess device(QuickFlash + QStringList{"--once"});
    Host host(device.slavePath());
    QCOMPARE(run(host, mode, TestImage(ImageSize(TransferMode(mode)), 6)), QStringLiteral("ok"));
    QVERIFY(device.waitForFinished(5000));
    QCOMPARE(device.exitCode(), 0);
}

void TestDeviceProgram::traceShowsFramesAndBlocks() {
    DeviceProcess device(QuickFlash + QStringList{"--trace"});
    Host host(device.slavePath());
    QCOMPARE(download(host, 2, TestImage(ImageSize(TransferMode(2)), 9)), QStringLiteral("ok"));
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
    for (const char *word :
         {"--link",       "--once",         "--store",        "--trace",    "--pace",
          "--erase-time", "--program-time", "--fault",        "silent",     "nak-block=N",
          "wrong-reply",  "stray-byte",     "bad-checksum",   "erase-fail", "program-fail",
          "stop-after=N", "hangup-after=N", "reply-delay=MS", "flip-bit=K", "answer-once",
          "latency=MS",   "read-latency=MS", "--count",
          "--link-dir",   "unplug K",       "plug K"})
        QVERIFY2(text.contains(QLatin1String(word)), word);

    for (const QStringList &bad :
         {QStringList{"--fault", "loud"}, QStringList{"--pace", "0"},
          QStringList{"--erase-time", "soon"}, QStringList{"--count", "2", "--fault", "2:silent"},
          QStringList{"--count", "2", "--link", "tty"}}) {
        QProcess refused;
        refused.start(DeviceProcess::programPath(), bad);
        QVERIFY(refused.waitForFinished(5000));
        QCOMPARE(refused.exitCode(), 1);
        QVERIFY(refused.readAllStandardOutput().isEmpty()); // no path: the device never started
        QVERIFY(!refused.readAllStandardError().isEmpty());
    }
}

// A tool that sends 4 MB of upload requests and reads none of the answers (each a frame and a
// block) costs the device no more than its bound; it says it dropped input and serves on.
void TestDeviceProgram::floodIsDroppedNotHeld() {
    DeviceProcess device;
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    RawPort port(device.slavePath());
    QVERIFY(port.fd >= 0);
    // Two modes in turn: each request asks for another operation than the one just answered, so
    // none is a copy to drain.
    const QByteArray flood = (FrameOf(CommandCode::RSPO) + FrameOf(CommandCode::RDPO))
                                 .repeated(4 * 1024 * 1024 / (2 * FrameLength));
    for (qsizetype done = 0; done < flood.size();) {
        const ssize_t n = ::write(port.fd, flood.constData() + done, size_t(flood.size() - done));
        QVERIFY(n > 0);
        done += n;
    }
    QTRY_VERIFY_WITH_TIMEOUT(device.stderrText().contains("dropped"), 10000);
    const qint64 peak = PeakMemoryKb(device.process().processId());
    QVERIFY2(peak > 0 && peak < 32 * 1024, qPrintable(QString::number(peak)));
    port.drain();
    const QByteArray request = FrameOf(CommandCode::TSPO);
    QCOMPARE(::write(port.fd, request.constData(), size_t(request.size())), ssize_t(FrameLength));
    QVERIFY(port.wait(POLLIN, 5000) & POLLIN);
    char answer[FrameLength];
    QCOMPARE(::read(port.fd, answer, sizeof answer), ssize_t(FrameLength));
    QCOMPARE(QByteArray(answer, FrameLength), FrameOf(CommandCode::RSPO));
    QCOMPARE(device.stop(), 0);
}

// Three devices in one program: a fault for every device and one for device 2 only, each on its
// own terminal under its own link.
void TestDeviceProgram::stationGivesEachDeviceItsFaults() {
    QTemporaryDir dir;
    DeviceProcess device(QuickFlash + QStringList{"--count", "3", "--link-dir", dir.path(),
                                                  "--fault", "stray-byte", "--fault",
                                                  "2:erase-fail"},
                         5000, 3);
    QCOMPARE(device.slavePaths().size(), 3);
    for (int k = 0; k < 3; ++k)
        QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("tty%1").arg(k))).symLinkTarget(),
                 device.slavePaths()[k]);
    const QByteArray image = TestImage(ImageSize(TransferMode(2)), 51);
    Host normal(dir.filePath("tty1"));
    QCOMPARE(download(normal, 2, image), QStringLiteral("ok"));
    QCOMPARE(normal.sentFrames.count(FrameOf(CommandCode::TFPO)), 2); // stray-byte, the first
    Host faulty(dir.filePath("tty2"));
    QCOMPARE(download(faulty, 2, image), QStringLiteral("erase"));
    QCOMPARE(device.stop(), 0);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
             QStringList());
}

// A board unplugged from the station: the tool that has its port open sees a hang-up and its
// link goes; plugged in again, it serves on a fresh terminal under the same link.
void TestDeviceProgram::stationDeviceUnpluggedAndBack() {
    QTemporaryDir dir;
    const QString link = dir.filePath("tty1");
    DeviceProcess device(QuickFlash + QStringList{"--count", "2", "--link-dir", dir.path()}, 5000,
                         2);
    QCOMPARE(device.slavePaths().size(), 2);
    {
        RawPort port(link);
        QVERIFY(port.fd >= 0);
        SendControl(dir.path(), "unplug 1");
        QVERIFY(port.wait(POLLIN, 5000) & POLLHUP);
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo(link).isSymLink(), 5000);
        QVERIFY(QFileInfo(dir.filePath("tty0")).isSymLink());
    }
    SendControl(dir.path(), "plug 1");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(link).isSymLink(), 5000);
    Host host(link);
    QCOMPARE(download(host, 2, TestImage(ImageSize(TransferMode(2)), 52)), QStringLiteral("ok"));
    QCOMPARE(device.stop(), 0);
}

// The tool takes its port in exclusive mode; a real port drops the mode at its last close, also
// when the tool was killed. The device's terminals must do the same, on every device of a
// station and on a terminal plugged in again, or every later open but root's fails as busy. Root
// ignores the mode, so the test reads it (TIOCGEXCL) on its next open.
void TestDeviceProgram::lastCloseDropsExclusiveMode() {
    QTemporaryDir dir;
    const QString link = dir.filePath("tty1");
    DeviceProcess device(QStringList{"--count", "2", "--link-dir", dir.path()}, 5000, 2);
    QCOMPARE(device.slavePaths().size(), 2);
    const auto exclusive = [](const QString &path) {
        RawPort port(path);
        int on = -1;
        return port.fd >= 0 && ::ioctl(port.fd, TIOCGEXCL, &on) == 0 ? on : -1;
    };

    const QByteArray killedOn = QFile::encodeName(device.slavePaths()[0]);
    const pid_t tool = ::fork();
    if (tool == 0) {
        const int fd = ::open(killedOn.constData(), O_RDWR | O_NOCTTY);
        if (fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0)
            ::raise(SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    QCOMPARE(::waitpid(tool, &status, 0), tool);
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    QTRY_COMPARE_WITH_TIMEOUT(exclusive(device.slavePaths()[0]), 0, 5000);

    for (int round = 0; round < 2; ++round) {
        const QString path = QFileInfo(link).symLinkTarget();
        {
            RawPort port(path);
            QVERIFY(port.fd >= 0);
            QCOMPARE(::ioctl(port.fd, TIOCEXCL), 0);
            int on = 0;
            QVERIFY(::ioctl(port.fd, TIOCGEXCL, &on) == 0 && on == 1);
        }
        QTRY_COMPARE_WITH_TIMEOUT(exclusive(path), 0, 5000);
        // At once: the new terminal may have the old one's name.
        SendControl(dir.path(), "unplug 1\nplug 1");
        QTRY_COMPARE_WITH_TIMEOUT(device.stderrText().count("device 1 plugged in"), round + 1,
                                  5000);
    }
    QCOMPARE(device.stop(), 0);
}

QTEST_GUILESS_MAIN(TestDeviceProgram)
#include "tst_device_program.moc"
