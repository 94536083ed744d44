// torvane-cli as a script runs it: the real program against the real device emulator on a
// pseudo-terminal, judged by its output lines, its exit code and the files it leaves.
#include "cli_run.h"
#include "link/checksum.h"
#include "link/command_code.h"
#include "ops/status_text.h"
#include "support/device_process.h"
#include "support/images.h"
#include "support/pty_pair.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <termios.h>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <unistd.h>

namespace {

using namespace cli_test;

constexpr int DataSize = 262144;
constexpr int DefaultSize = 131072;
using S = StatusCode;

// Waits until the program has printed `line` on stdout; what it printed stays readable.
bool waitForLine(QProcess &process, QByteArray &seen, const QByteArray &line, int timeoutMs) {
    return waitFor(process, seen, line + '\n', timeoutMs);
}

// Leaves the line as a terminal program, a modem manager or a killed run might: every setting
// the tool does not want.
void spoilLineState(const QString &path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios tio{};
    QVERIFY(::tcgetattr(fd, &tio) == 0);
    tio.c_iflag |= IGNPAR | IXON | IXOFF;
    tio.c_lflag |= ICANON | ECHO;
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | CLOCAL | CRTSCTS | PARENB | PARODD | CSTOPB;
    ::cfsetspeed(&tio, B9600);
    ::tcsetattr(fd, TCSANOW, &tio); // a pty drops the parity and says so
    ::close(fd);
}

// What the device heard before now: the test sends a frame of its own behind whatever the tool
// may have sent, and waits until the device's trace shows it.
QString heardBefore(const DeviceProcess &device) {
    const QByteArray marker = "@KZVNTKPO"; // a code the tool never sends
    const int fd = ::open(QFile::encodeName(device.slavePath()).constData(), O_WRONLY | O_NOCTTY);
    if (fd < 0 || ::write(fd, marker.constData(), size_t(marker.size())) != marker.size())
        return QStringLiteral("(could not reach the device)");
    ::close(fd);
    QString trace;
    QElapsedTimer timer;
    timer.start();
    while (!(trace = device.stderrText()).contains(QLatin1String(marker)) &&
           timer.elapsed() < 10000)
        QTest::qWait(10);
    // Up to the start of the marker's own line.
    return trace.left(trace.lastIndexOf(QLatin1Char('\n'), trace.indexOf(QLatin1String(marker))) +
                      1);
}

// Names of files in a folder other than `except`: a half-written or temporary file shows here.
QStringList leftovers(const QString &folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void downloadThenUploadGivesTheImageBack();
    void aJobOfThreeStepsOnOneBoard();
    void killedMidTransferLeavesThePortUsable();
    void closedStandardStreamsStayOffTheLine();
    void comPortMapsThroughTheEnvironment();
    void portsListsEveryComNumber();
    void resultLineNamesBytesAndRate();

    void usageErrors_data();
    void usageErrors();
    void fileRefusals_data();
    void fileRefusals();
    void uploadDoesNotCoverAFileWithoutOverwrite();
    void uploadNeverReplacesAPipe_data();
    void uploadNeverReplacesAPipe();
    void portThatCannotBeOpened_data();
    void portThatCannotBeOpened();
    void portHeldByAnotherProcessIsRefused();
    void portHeldWithoutALockIsRefused();
    void lockFileOfAnotherProgram_data();
    void lockFileOfAnotherProgram();
    void portTheUserMayNotOpen();

    void deviceFaults_data();
    void deviceFaults();
    void uploadThatCannotBeSavedExitsNine();

    void interruptEndsInOrder_data();
    void interruptEndsInOrder();

    void interruptAfterTheVerdictKeepsIt();
    void portBelowTheWorkingFolder();
    void bareNameOfAFileHereSaysToGiveItsPath();
    void twoProcessesOnTwoDevicesAtOnce();
    void traceShowsEveryFrameAndBlock();
    void traceWritesControlBytesAsText();
    void progressOffATerminalIsOneLinePerPhase();
    void progressOnATerminalIsRedrawnAtMostTenTimesASecond();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QTemporaryDir configHome;
    QString path(const QString &name) const { return dir->filePath(name); }
};

void TestCli::initTestCase() {
    // Every program run here keeps its COM numbers in a folder of the test's, never the user's.
    QVERIFY(configHome.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
}

void TestCli::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestCli::downloadThenUploadGivesTheImageBack() {
    // On a line another program left in a hostile state, each run sets it up anew.
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    spoilLineState(device.slavePath());
    const QByteArray image = TestImage(DataSize, 0x5eed);
    QVERIFY(WriteFile(path("data.bin"), image));

    const CliRun down =
        runCli({"download", "data", path("data.bin"), "--port", device.slavePath()});
    QCOMPARE(down.exitCode, 0);
    QCOMPARE(down.statusLines(), DownloadLines);

    spoilLineState(device.slavePath());
    const CliRun up = runCli({"upload", "data", path("back.bin"), "--port", device.slavePath()});
    QCOMPARE(up.exitCode, 0);
    QCOMPARE(up.statusLines(), UploadLines);
    QCOMPARE(ReadFile(path("back.bin")), image);
    QCOMPARE(leftovers(dir->path()), QStringList({"back.bin", "data.bin"}));
}

// A board's whole programming in one run: its loader, its default image, and that image read back
// and compared, each step on the port the one before left open. A read-back of a loader, which no
// upload reads, is refused before anything is sent.
void TestCli::aJobOfThreeStepsOnOneBoard() {
    DeviceProcess device(QStringList{"--trace", "--store", path("store")} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const QByteArray loader = TestImage(DefaultSize, 1);
    const QByteArray image = TestImage(DefaultSize, 2);
    QVERIFY(WriteFile(path("loader.bin"), loader) && WriteFile(path("default.bin"), image));

    const CliRun refused =
        runCli({"verify", "loader", path("loader.bin"), "--port", device.slavePath()});
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.errors.contains("no upload mode reads a device's loader back"),
             qPrintable(refused.errors));
    const QString heard = heardBefore(device);
    QVERIFY2(!heard.contains("<-"), qPrintable(heard));

    const CliRun run =
        runCli({"download", "loader", path("loader.bin"), "--then", "download", "default",
                path("default.bin"), "--report", path("report.jsonl"), "--then", "verify",
                "default", path("default.bin"), "--port", device.slavePath()});

    QVERIFY2(run.exitCode == 0, qPrintable(run.lines.join('\n') + run.errors));
    QCOMPARE(run.statusLines(), QStringList{"step 1 of 3: Download Loader"} + DownloadLines +
                                    QStringList{"step 2 of 3: Download Default"} + DownloadLines +
                                    QStringList{"step 3 of 3: Verify Default"} + UploadLines);
    QVERIFY2(run.resultLine().startsWith("torvane-cli: success: Download Loader, Download Default, "
                                         "Verify Default, 393216 bytes in "),
             qPrintable(run.resultLine()));
    QCOMPARE(ReadFile(path("store/loader.bin")), loader);
    QCOMPARE(ReadFile(path("store/default.bin")), image);
    // The read-back saved nothing.
    QCOMPARE(leftovers(dir->path()), QStringList({"default.bin", "loader.bin", "report.jsonl"}));
    const QJsonObject record = QJsonDocument::fromJson(ReadFile(path("report.jsonl"))).object();
    QCOMPARE(record["exitCode"].toInt(), 0);
    QCOMPARE(record["steps"].toArray().size(), 3);
    for (const QJsonValue step : record["steps"].toArray())
        QCOMPARE(step.toObject()["exitCode"].toInt(), 0);
}

void TestCli::killedMidTransferLeavesThePortUsable() {
    // A killed run closes nothing in order and leaves the line as it had set it.
    DeviceProcess device(QStringList{"--pace", "1000000"} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    QProcess first;
    startCli(first, {"download", "data", path("data.bin"), "--port", device.slavePath()});
    QByteArray seen;
    QVERIFY(waitForLine(first, seen, StatusText(S::Transfer).toLatin1(), 10000));
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(5000));

    const CliRun next =
        runCli({"download", "data", path("data.bin"), "--port", device.slavePath()});
    QVERIFY2(next.exitCode == 0, qPrintable(next.errors));
    QCOMPARE(next.statusLines(), DownloadLines);
}

void TestCli::closedStandardStreamsStayOffTheLine() {
    // Started with nothing on descriptors 0 to 2, the port must not become "stderr".
    DeviceProcess device(QStringList{"--store", path("store")} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const QByteArray image = TestImage(DataSize, 0x5eed);
    QVERIFY(WriteFile(path("data.bin"), image));
    QProcess cli;
    cli.setChildProcessModifier([] {
        for (int fd = 0; fd <= 2; ++fd)
            ::close(fd);
    });
    startCli(cli, {"download", "data", path("data.bin"), "--port", device.slavePath()});
    QVERIFY(cli.waitForFinished(30000));
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(ReadFile(path("store/data.bin")), image);
}

void TestCli::comPortMapsThroughTheEnvironment() {
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("default.bin"), TestImage(DefaultSize, 0x5eed)));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TORVANE_COM7", device.slavePath());
    const CliRun run =
        runCli({"download", "default", path("default.bin"), "--port", "COM.07"}, env);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.statusLines(), DownloadLines);
}

void TestCli::portsListsEveryComNumber() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TORVANE_COM2", "/dev/torvane-test-port");
    const CliRun run = runCli({"ports"}, env);
    QCOMPARE(run.exitCode, 0);
    // COM.01 ... COM.10 in order, then any port present that no number reaches.
    QVERIFY2(run.lines.size() >= 10, qPrintable(run.lines.join('\n')));
    const QRegularExpression line("^(COM\\.\\d\\d|-     )  \\S+( +\\S.*)?$");
    for (int i = 0; i < run.lines.size(); ++i) {
        QVERIFY2(line.match(run.lines[i]).hasMatch(), qPrintable(run.lines[i]));
        QCOMPARE(run.lines[i].startsWith(QString("COM.%1").arg(i + 1, 2, 10, QChar('0'))), i < 10);
    }
    QVERIFY2(run.lines[1].contains(QRegularExpression("^COM\\.02  /dev/torvane-test-port +"
                                                      "set by TORVANE_COM2$")),
             qPrintable(run.lines[1]));
}

void TestCli::resultLineNamesBytesAndRate() {
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const CliRun run = runCli({"upload", "default", path("u.bin"), "--port", device.slavePath()});
    QCOMPARE(run.exitCode, 0);
    const QRegularExpression result(
        "^torvane-cli: success: Upload Default, 131072 bytes in ([0-9.]+) s, ([0-9]+) bytes/s$");
    const QRegularExpressionMatch match = result.match(run.resultLine());
    QVERIFY2(match.hasMatch(), qPrintable(run.resultLine()));
    const double seconds = match.captured(1).toDouble();
    QVERIFY(seconds > 0);
    // The rate is the image's bytes over that time; the time is printed to the millisecond.
    const double rate = match.captured(2).toDouble();
    QVERIFY2(qAbs(rate * seconds - DefaultSize) <= rate * 0.0005 + 1, qPrintable(run.resultLine()));
}

void TestCli::usageErrors_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("complaint");
    QTest::newRow("no arguments") << QStringList() << "expected";
    QTest::newRow("unknown command")
        << QStringList{"sideload", "data", "f", "--port", "COM.01"} << "unknown command 'sideload'";
    QTest::newRow("unknown command alone") << QStringList{"frob"} << "unknown command 'frob'";
    QTest::newRow("unknown kind") << QStringList{"download", "firmware", "f", "--port", "COM.01"}
                                  << "unknown download kind";
    QTest::newRow("upload all") << QStringList{"upload", "all", "f", "--port", "COM.01"}
                                << "unknown upload kind";
    QTest::newRow("upload loader")
        << QStringList{"upload", "loader", "f", "--port", "COM.01"} << "unknown upload kind";
    QTest::newRow("no port") << QStringList{"download", "data", "f"} << "--port";
    QTest::newRow("port 11") << QStringList{"download", "data", "f", "--port", "COM.11"}
                             << "unknown port";
    QTest::newRow("port without dot")
        << QStringList{"download", "data", "f", "--port", "COM1"} << "unknown port";
    QTest::newRow("overwrite on a download")
        << QStringList{"download", "data", "f", "--port", "COM.01", "--overwrite"} << "--overwrite";
    QTest::newRow("unknown option")
        << QStringList{"download", "data", "f", "--port", "COM.01", "--fast"} << "fast";
}

void TestCli::usageErrors() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, complaint);
    const CliRun run = runCli(arguments);
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.lines.isEmpty());
    QVERIFY2(run.errors.contains(complaint), qPrintable(run.errors));
}

void TestCli::fileRefusals_data() {
    QTest::addColumn<QString>("kind");
    // -1: no file at all; -2: a pipe, which nobody writes; -3: a folder; -4: no folder for it
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("why"); // on stderr
    // Not there (yet): a service tries again, where it gives up on a file refused.
    QTest::newRow("missing") << "data" << -1
                             << "Find an error, when opening this file, maybe it inexistent!"
                             << "image.bin is not there";
    QTest::newRow("in a folder not there") << "data" << -4
                                           << "Find an error, when opening this file, maybe it "
                                              "inexistent!"
                                           << "gone/image.bin is not there";
    QTest::newRow("a folder") << "data" << -3
                              << "Find an error, when opening this file, maybe it inexistent!"
                              << "image.bin is a folder, not a file";
    QTest::newRow("a pipe") << "data" << -2 << "File wrong!"
                            << "the file is not a regular file";
    QTest::newRow("one byte short") << "data" << DataSize - 1 << "File wrong!"
                                    << "the file has 262143 bytes; Download Data takes 262144";
    QTest::newRow("one byte long") << "data" << DataSize + 1 << "File wrong!"
                                   << "the file has 262145 bytes; Download Data takes 262144";
    QTest::newRow("data image as software")
        << "software" << DataSize << "File wrong!"
        << "the file has 262144 bytes; Download Software takes 1703936";
    QTest::newRow("64 KiB loader") << "loader" << 65536 << "File wrong!"
                                   << "the file has 65536 bytes; Download Loader takes 131072";
}

void TestCli::fileRefusals() {
    QFETCH(QString, kind);
    QFETCH(int, size);
    QFETCH(QString, status);
    QFETCH(QString, why);
    if (size >= 0)
        QVERIFY(WriteFile(path("image.bin"), TestImage(size + 4, 0x5eed).left(size)));
    if (size == -2)
        QCOMPARE(::mkfifo(QFile::encodeName(path("image.bin")).constData(), 0600), 0);
    if (size == -3)
        QVERIFY(QDir().mkdir(path("image.bin")));
    DeviceProcess device({"--trace"});
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const QString image = path(size == -4 ? "gone/image.bin" : "image.bin");
    const CliRun run = runCli({"download", kind, image, "--port", device.slavePath()});
    const bool notThere = size == -1 || size == -4;
    QCOMPARE(run.exitCode, notThere ? 75 : 2);
    QCOMPARE(run.statusLines(), QStringList{status});
    QVERIFY2(
        run.resultLine().contains(notThere ? "image not there (exit 75)" : "file refused (exit 2)"),
        qPrintable(run.resultLine()));
    QVERIFY2(run.errors.contains(why), qPrintable(run.errors));
    // Refused before the port opened: the device heard nothing.
    const QString heard = heardBefore(device);
    QVERIFY2(!heard.contains("<-"), qPrintable(heard));
}

void TestCli::uploadDoesNotCoverAFileWithoutOverwrite() {
    DeviceProcess device(QStringList{"--trace"} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const QByteArray old = "the operator's file";
    QVERIFY(WriteFile(path("kept.bin"), old));

    const CliRun refused =
        runCli({"upload", "default", path("kept.bin"), "--port", device.slavePath()});
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(refused.errors.contains("--overwrite"), qPrintable(refused.errors));
    QCOMPARE(ReadFile(path("kept.bin")), old);
    const QString heard = heardBefore(device);
    QVERIFY2(!heard.contains("<-"), qPrintable(heard));

    const CliRun covered = runCli(
        {"upload", "default", path("kept.bin"), "--port", device.slavePath(), "--overwrite"});
    QCOMPARE(covered.exitCode, 0);
    QCOMPARE(ReadFile(path("kept.bin")).size(), DefaultSize);
}

void TestCli::uploadNeverReplacesAPipe_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("why");
    QTest::newRow("a pipe") << "pipe"
                            << "not a regular file";
    QTest::newRow("a link to nothing") << "link"
                                       << "symbolic link to nothing";
}

void TestCli::uploadNeverReplacesAPipe() {
    // Refused before the port is opened (it names no device here), not after the transfer.
    QFETCH(QString, what);
    QFETCH(QString, why);
    const QString target = path("target.bin");
    if (what == "pipe")
        QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
    else
        QVERIFY(QFile::link(path("nowhere/image.bin"), target));
    const CliRun run =
        runCli({"upload", "default", target, "--port", "/dev/torvane-unused", "--overwrite"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.errors.contains(why), qPrintable(run.errors));
    QVERIFY(!QFileInfo(target).isFile());
}

void TestCli::portThatCannotBeOpened_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("cause"); // said once on stderr, instead of the window's text
    QTest::newRow("device path") << "/dev/torvane-no-such-tty"
                                 << "/dev/torvane-no-such-tty: No such file or directory";
    QTest::newRow("by-id name of an adapter not plugged in")
        << "usb-Torvane_Test_Adapter-if00-port0"
        << "/dev/serial/by-id/usb-Torvane_Test_Adapter-if00-port0: No such file or directory";
    QTest::newRow("no serial port") << "/dev/null"
                                    << "/dev/null: not a serial port";
    QTest::newRow("the pseudo-terminal multiplexer")
        << "/dev/ptmx"
        << "/dev/ptmx: it makes a new pseudo-terminal each time it is opened";
    QTest::newRow("COM number without a device") << "COM.10"
                                                 << "COM.10 has no device";
}

void TestCli::portThatCannotBeOpened() {
    QFETCH(QString, port);
    QFETCH(QString, cause);
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const CliRun run = runCli({"download", "data", path("data.bin"), "--port", port});
    QCOMPARE(run.exitCode, 3);
    QVERIFY(run.statusLines().isEmpty());
    QVERIFY2(run.errors.count(cause) == 1, qPrintable(run.errors));
    QVERIFY2(!run.errors.contains("The Port you selected is used by other application!"),
             qPrintable(run.errors));
}

void TestCli::lockFileOfAnotherProgram_data() {
    QTest::addColumn<bool>("alive");
    QTest::addColumn<bool>("byLink");      // the port given by a link, and the lock named after it
    QTest::addColumn<QString>("linkName"); // empty: a name of the test's own
    QTest::newRow("its program runs") << true << false << QString();
    QTest::newRow("its program is gone") << false << false << QString();
    // As a terminal program started on a link names its lock: after the link's own name.
    QTest::newRow("named after the link given, its program runs") << true << true << QString();
    // A link that shares its last name with another device: the lock is that device's.
    QTest::newRow("named as another device in /dev, its program runs")
        << true << true << QStringLiteral("full");
}

void TestCli::lockFileOfAnotherProgram() {
    QFETCH(bool, alive);
    QFETCH(bool, byLink);
    QFETCH(QString, linkName);
    if (!QFileInfo(QStringLiteral("/var/lock")).isWritable())
        QSKIP("the lock folder is not writable here");
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const bool anotherDevices = !linkName.isEmpty();
    const QString link =
        path(anotherDevices
                 ? linkName
                 : QStringLiteral("torvane-board-%1").arg(QCoreApplication::applicationPid()));
    QVERIFY(QFile::link(device.slavePath(), link));
    const QString port = byLink ? link : device.slavePath();
    const QString lock = "/var/lock/LCK.." + (byLink ? QFileInfo(link).fileName()
                                                     : device.slavePath().mid(5).replace('/', '_'));
    const auto removeLock = qScopeGuard([&] { QFile::remove(lock); });
    QProcess owner;
    owner.start("sleep", {alive ? "30" : "0"});
    QVERIFY(owner.waitForStarted());
    const QString pid = QString::number(owner.processId());
    if (!alive)
        QVERIFY(owner.waitForFinished());
    const auto endOwner = qScopeGuard([&] {
        owner.kill();
        owner.waitForFinished();
    });
    QVERIFY(WriteFile(lock, pid.rightJustified(10).toLatin1() + '\n'));

    const CliRun run = runCli({"download", "data", path("data.bin"), "--port", port});
    if (anotherDevices) {
        QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
        QVERIFY(QFile::exists(lock));
        return;
    }
    QVERIFY2(run.errors.contains(lock) && run.errors.contains(pid), qPrintable(run.errors));
    if (alive) {
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.errors.contains("in use by another program: sleep (PID " + pid + ")"),
                 qPrintable(run.errors));
        QVERIFY(QFile::exists(lock));
    } else {
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.errors.contains("removed the stale lock file"), qPrintable(run.errors));
        QVERIFY(!QFile::exists(lock));
    }
}

void TestCli::portTheUserMayNotOpen() {
    if (::geteuid() != 0)
        QSKIP("needs root, to run the tool as another user");
    const group *dialout = ::getgrnam("dialout");
    if (!dialout)
        QSKIP("no group dialout here");
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const QByteArray tty = QFile::encodeName(device.slavePath());
    // root:dialout, as the system hands out serial ports
    QCOMPARE(::chown(tty.constData(), 0, dialout->gr_gid), 0);
    QCOMPARE(::chmod(tty.constData(), 0660), 0);
    // Everything the other user needs is theirs to read, and the configuration theirs to write.
    QVERIFY(::chmod(QFile::encodeName(dir->path()).constData(), 0777) == 0);
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    QVERIFY(QFile::setPermissions(path("data.bin"), QFile::ReadOther | QFile::ReadOwner));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir->path());
    QProcess process;
    process.setProcessEnvironment(env);
    process.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", cliPath(),
                              "download", "data", path("data.bin"), "--port", device.slavePath()});
    const CliRun run = finish(process);
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(
        run.errors.contains(device.slavePath() + ": permission to open the device was refused"),
        qPrintable(run.errors));
    QVERIFY2(run.errors.contains("sudo usermod -aG dialout $USER"), qPrintable(run.errors));
}

void TestCli::portHeldByAnotherProcessIsRefused() {
    // A slow device keeps the first process on the port while the second one tries it.
    DeviceProcess device(QStringList{"--pace", "1000000"} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    QProcess first;
    startCli(first, {"download", "data", path("data.bin"), "--port", device.slavePath()});
    QByteArray seen;
    QVERIFY(waitForLine(first, seen, StatusText(S::Transfer).toLatin1(), 10000));
    // The same device under another name is the same device.
    QVERIFY(QFile::link(device.slavePath(), path("alias")));
    const CliRun second = runCli({"download", "data", path("data.bin"), "--port", path("alias")});
    QCOMPARE(second.exitCode, 3);
    QVERIFY2(second.errors.contains("in use by another program"), qPrintable(second.errors));
    const CliRun done = finish(first);
    QCOMPARE(done.exitCode, 0);
}

void TestCli::portHeldWithoutALockIsRefused() {
    // A terminal program that writes no lock file (or a modem manager's probe) has the device
    // open: it is left to it, and told by its name.
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    QProcess holder;
    holder.setStandardInputFile(device.slavePath());
    holder.start("sleep", {"30"});
    QVERIFY(holder.waitForStarted());
    const auto endHolder = qScopeGuard([&] {
        holder.kill();
        holder.waitForFinished();
    });
    const CliRun run = runCli({"download", "data", path("data.bin"), "--port", device.slavePath()});
    QCOMPARE(run.exitCode, 3);
    const QString named =
        QStringLiteral("in use by another program: sleep (PID %1)").arg(holder.processId());
    QVERIFY2(run.errors.contains(named), qPrintable(run.errors));
    QVERIFY(run.statusLines().isEmpty());
}

void TestCli::deviceFaults_data() {
    QTest::addColumn<QString>("direction");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastStatus");
    QTest::newRow("wrong reply to connect") << "download"
                                            << "wrong-reply" << 4 << StatusText(S::ConnectFailed);
    QTest::newRow("block not acknowledged") << "download"
                                            << "nak-block=7" << 5 << StatusText(S::TransferFailed);
    QTest::newRow("device hangs up mid-download") << "download"
                                                  << "hangup-after=50" << 5 << "";
    QTest::newRow("wrong checksum table") << "upload"
                                          << "bad-checksum" << 6 << StatusText(S::VerifyFailed);
    QTest::newRow("erase fails") << "download"
                                 << "erase-fail" << 7 << StatusText(S::EraseFlashFailed);
    QTest::newRow("program fails") << "download"
                                   << "program-fail" << 8 << StatusText(S::ProgramFlashFailed);
}

void TestCli::deviceFaults() {
    QFETCH(QString, direction);
    QFETCH(QString, fault);
    QFETCH(int, exitCode);
    QFETCH(QString, lastStatus);
    DeviceProcess device(QStringList{"--fault", fault} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const QString file = path("default.bin");
    if (direction == "download")
        QVERIFY(WriteFile(file, TestImage(DefaultSize, 0x5eed)));
    const CliRun run = runCli({direction, "default", file, "--port", device.slavePath()});
    QCOMPARE(run.exitCode, exitCode);
    if (lastStatus.isEmpty()) {
        // A lost device is an error of its own, counted against the step it broke.
        QVERIFY2(run.errors.contains("error:"), qPrintable(run.errors));
    } else {
        QVERIFY(!run.statusLines().isEmpty());
        QCOMPARE(run.statusLines().last(), lastStatus);
    }
    // A phase that failed never claims success on the way.
    if (lastStatus == StatusText(S::TransferFailed))
        QVERIFY2(!run.statusLines().contains(StatusText(S::TransferSuccess)),
                 qPrintable(run.statusLines().join('|')));
    QVERIFY2(run.resultLine().endsWith(QStringLiteral("(exit %1)").arg(exitCode)),
             qPrintable(run.resultLine()));
    if (direction == "upload")
        QVERIFY(!QFile::exists(file));
}

void TestCli::uploadThatCannotBeSavedExitsNine() {
    DeviceProcess device(QStringList{"--pace", "1000000"} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const QString folder = path("gone");
    QVERIFY(QDir().mkpath(folder));
    QProcess cli;
    startCli(cli, {"upload", "default", folder + "/u.bin", "--port", device.slavePath()});
    QByteArray seen;
    QVERIFY(waitForLine(cli, seen, StatusText(S::Transfer).toLatin1(), 10000));
    // The folder goes away while the image is on its way: it cannot be saved.
    QVERIFY(QDir(folder).removeRecursively());
    const CliRun run = finish(cli);
    QCOMPARE(run.exitCode, 9);
    const QStringList lines =
        QString::fromLocal8Bit(seen).split('\n', Qt::SkipEmptyParts) + run.lines;
    QVERIFY2(lines.contains(StatusText(S::SetUpFileFailed)), qPrintable(lines.join('|')));
    QVERIFY(!lines.contains(StatusText(S::UpdateSuccess)));
}

void TestCli::interruptEndsInOrder_data() {
    QTest::addColumn<QString>("direction");
    QTest::addColumn<int>("signal");
    QTest::newRow("upload, Ctrl-C") << "upload" << int(SIGINT);
    QTest::newRow("upload, SIGTERM") << "upload" << int(SIGTERM);
    QTest::newRow("download, Ctrl-C") << "download" << int(SIGINT);
}

void TestCli::interruptEndsInOrder() {
    QFETCH(QString, direction);
    QFETCH(int, signal);
    DeviceProcess device(QStringList{"--pace", "1000000"} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const QString folder = path("out");
    QVERIFY(QDir().mkpath(folder));
    const QString file = direction == "upload" ? folder + "/u.bin" : path("default.bin");
    if (direction == "download")
        QVERIFY(WriteFile(file, TestImage(DefaultSize, 0x5eed)));

    QProcess cli;
    startCli(cli, {direction, "default", file, "--port", device.slavePath()});
    QByteArray seen;
    QVERIFY(waitForLine(cli, seen, StatusText(S::Transfer).toLatin1(), 10000));
    QTest::qWait(300); // well into the blocks
    ::kill(pid_t(cli.processId()), signal);
    const CliRun run = finish(cli, 10000);
    QCOMPARE(run.exitCode, 130);
    QVERIFY2(run.resultLine().endsWith("interrupted (exit 130)"), qPrintable(run.resultLine()));
    QVERIFY(!run.lines.contains(StatusText(S::UpdateSuccess)));
    // Nothing written, not even a temporary file beside the target.
    QCOMPARE(leftovers(folder), QStringList());

    // The port was let go and the device can be used again at once.
    QVERIFY(WriteFile(path("again.bin"), TestImage(DefaultSize, 0x5eed)));
    const CliRun again =
        runCli({"download", "default", path("again.bin"), "--port", device.slavePath()});
    QCOMPARE(again.exitCode, 0);
}

void TestCli::interruptAfterTheVerdictKeepsIt() {
    // "Connect failed!" is shown, then the program stands still for 2 s: a Ctrl-C there ends
    // the pause, not the verdict.
    DeviceProcess device(QStringList{"--fault", "wrong-reply"} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("default.bin"), TestImage(DefaultSize, 0x5eed)));
    QProcess cli;
    startCli(cli, {"download", "default", path("default.bin"), "--port", device.slavePath()});
    QByteArray seen;
    QVERIFY(waitForLine(cli, seen, StatusText(S::ConnectFailed).toLatin1(), 10000));
    ::kill(pid_t(cli.processId()), SIGINT);
    const CliRun run = finish(cli, 10000);
    QCOMPARE(run.exitCode, 4);
    QVERIFY2(run.resultLine().endsWith("Connect failed! (exit 4)"), qPrintable(run.resultLine()));
}

void TestCli::portBelowTheWorkingFolder() {
    // "board/tty" names a port below the working folder, as any file name does (QSerialPort
    // alone would look for it in /dev).
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(QDir().mkpath(path("board")));
    QVERIFY(QFile::link(device.slavePath(), path("board/tty")));
    QVERIFY(WriteFile(path("default.bin"), TestImage(DefaultSize, 0x5eed)));
    QProcess cli;
    cli.setWorkingDirectory(dir->path());
    startCli(cli, {"download", "default", "default.bin", "--port", "board/tty"});
    const CliRun run = finish(cli);
    QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
}

void TestCli::bareNameOfAFileHereSaysToGiveItsPath() {
    // A name without a folder is an adapter's in /dev/serial/by-id: the file of that name in
    // the working folder is not opened, and the operator is told how to name it.
    QVERIFY(WriteFile(path("tty0"), QByteArray()));
    QVERIFY(WriteFile(path("default.bin"), TestImage(DefaultSize, 0x5eed)));
    QProcess cli;
    cli.setWorkingDirectory(dir->path());
    startCli(cli, {"download", "default", "default.bin", "--port", "tty0"});
    const CliRun run = finish(cli);
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(run.errors.contains("for the file tty0 in this folder, give ./tty0"),
             qPrintable(run.errors));
}

void TestCli::twoProcessesOnTwoDevicesAtOnce() {
    DeviceProcess first(QStringList{"--pace", "2000000", "--store", path("a")} + Quick);
    DeviceProcess second(QStringList{"--pace", "2000000", "--store", path("b")} + Quick);
    QVERIFY2(!first.slavePath().isEmpty(), qPrintable(first.errorString()));
    QVERIFY2(!second.slavePath().isEmpty(), qPrintable(second.errorString()));
    const QByteArray image = TestImage(DataSize, 0x5eed);
    QVERIFY(WriteFile(path("data.bin"), image));

    // Paced, each takes more than a second: they surely overlap.
    QProcess a, b;
    startCli(a, {"download", "data", path("data.bin"), "--port", first.slavePath()});
    startCli(b, {"download", "data", path("data.bin"), "--port", second.slavePath()});
    const CliRun runA = finish(a);
    const CliRun runB = finish(b);
    QCOMPARE(runA.exitCode, 0);
    QCOMPARE(runB.exitCode, 0);

    QCOMPARE(ReadFile(path("a/data.bin")), image);
    QCOMPARE(ReadFile(path("b/data.bin")), image);
}

void TestCli::traceShowsEveryFrameAndBlock() {
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const QByteArray image = TestImage(DefaultSize, 0x5eed);
    QVERIFY(WriteFile(path("default.bin"), image));
    const CliRun run = runCli(
        {"download", "default", path("default.bin"), "--port", device.slavePath(), "--trace"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.statusLines(), DownloadLines); // the trace stays off stdout

    const QStringList trace =
        run.errors.split('\n').filter(QRegularExpression("^\\[ *[0-9.]+\\] "));
    const auto count = [&trace](const QString &what) {
        return trace.filter(QRegularExpression(QRegularExpression::escape(what))).size();
    };
    // A busy machine may let a first request go unanswered in its 10 polls: it is asked again.
    QVERIFY(count("] -> @KZVNTFPO") >= 1);
    QCOMPARE(count("] <- @KZVNRFPO"), 1);
    QCOMPARE(count("] -> block "), 512 + 8);
    QCOMPARE(count("] <- @KZVNRRSS"), 512 + 8);
    QCOMPARE(count("] <- @KZVNRCVS"), 1);
    QCOMPARE(count("] <- @KZVNREFS"), 1);
    QCOMPARE(count("] <- @KZVNRWFS"), 1);
    // Each block is named with the checksum of what went out.
    const quint32 crc0 = BlockCrc(reinterpret_cast<const quint8 *>(image.constData()), 256);
    QCOMPARE(count(QStringLiteral("-> block 0 (256 bytes, checksum 0x%1)")
                       .arg(crc0, 8, 16, QLatin1Char('0'))),
             1);
    // Times never go backwards.
    double last = 0;
    for (const QString &line : trace) {
        const double t = line.mid(1, line.indexOf(']') - 1).trimmed().toDouble();
        QVERIFY(t >= last);
        last = t;
    }
}

void TestCli::traceWritesControlBytesAsText() {
    // The test plays a device that answers with terminal control sequences.
    PtyPair line;
    QProcess cli;
    startCli(cli, {"upload", "default", path("u.bin"), "--port", line.slavePath(), "--trace"});
    QCOMPARE(line.read(FrameLength), FrameOf(CommandCode::RFPO));
    line.write(QByteArray("@KZVN\x1b[2J") + "\x1b]0;owned\x07");
    QByteArray errors;
    QElapsedTimer timer;
    timer.start();
    while (!errors.contains("] <- ") && timer.elapsed() < 10000) {
        cli.waitForReadyRead(50);
        errors += cli.readAllStandardError();
    }
    ::kill(pid_t(cli.processId()), SIGINT);
    errors += finish(cli).errors.toLocal8Bit();
    QVERIFY2(errors.contains("@KZVN\\x1b[2J"), errors.constData());
    QVERIFY2(!errors.contains('\x1b') && !errors.contains('\x07'), errors.constData());
}

void TestCli::progressOffATerminalIsOneLinePerPhase() {
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const CliRun run = runCli({"download", "data", path("data.bin"), "--port", device.slavePath()});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(!run.errors.contains('\r'));
    const QStringList lines = run.errors.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith("Transfering Data:  100%  1024/1024 blocks"),
             qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith("Transfering CRC:  100%  16/16 blocks"), qPrintable(lines[1]));
}

void TestCli::progressOnATerminalIsRedrawnAtMostTenTimesASecond() {
    // About 1.5 s of blocks, with stderr on a terminal of its own.
    DeviceProcess device(QStringList{"--pace", "2000000"} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    PtyPair terminal;
    const QByteArray terminalPath = terminal.slavePath().toLocal8Bit();
    QProcess cli;
    cli.setChildProcessModifier([terminalPath] {
        const int fd = ::open(terminalPath.constData(), O_WRONLY | O_NOCTTY);
        ::dup2(fd, STDERR_FILENO);
    });
    QElapsedTimer timer;
    timer.start();
    startCli(cli, {"download", "data", path("data.bin"), "--port", device.slavePath()});
    QByteArray drawn;
    while (cli.state() != QProcess::NotRunning || drawn.isEmpty()) {
        drawn += terminal.drain(std::chrono::milliseconds(20));
        if (timer.elapsed() > 60000)
            break;
        cli.waitForFinished(10);
    }
    const double seconds = timer.elapsed() / 1000.0;
    drawn += terminal.drain();
    const CliRun run = finish(cli);
    QCOMPARE(run.exitCode, 0);

    const int redraws = int(drawn.count("\r\033[KTransfering Data:"));
    QVERIFY2(redraws >= 3, drawn.constData());
    QVERIFY2(redraws <= seconds * 10 + 2, qPrintable(QString::number(redraws)));
    // A redrawn line carries the phase, blocks done of total, the rate and the time left.
    QVERIFY(QRegularExpression("Transfering Data:  [0-9]+%  +[0-9]+/1024 blocks  [0-9.]+ [kM]?B/s  "
                               "[0-9]+:[0-9][0-9] left")
                .match(QString::fromLatin1(drawn))
                .hasMatch());
    // The finished phase stays on screen as a line of its own.
    QVERIFY(drawn.contains("Transfering Data:  100%  1024/1024 blocks"));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
