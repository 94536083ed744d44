// COM numbers for the ports a system reports, given out and kept the way Windows does, from port
// lists the test makes up: nothing here looks at the machine's own ports or configuration.
#include "link/port_opening.h"
#include "ports/com_numbering.h"
#include "ports/machine_terminals.h"
#include "ports/port_store.h"
#include "ports/port_watch.h"
#include "ports/system_ports.h"
#include "support/pty_pair.h"
#include "support/session_terminal.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <sys/stat.h>
#include <termios.h>

namespace {

// A USB adapter with its by-id link; by path alone when `byId` is empty.
PresentPort adapter(const QString &path, const QString &byId = {}) {
    PresentPort port;
    port.path = path;
    port.byIdName = byId;
    port.description = QStringLiteral("USB serial");
    return port;
}

PresentPort usbAdapter(const QString &path, const QString &serial) {
    PresentPort port = adapter(path);
    port.hasUsbIds = true;
    port.vendorId = 0x0403;
    port.productId = 0x6001;
    port.serialNumber = serial;
    return port;
}

PresentPort uart(int index) {
    PresentPort port;
    port.path = QStringLiteral("/dev/ttyS%1").arg(index);
    port.builtInUart = true;
    return port;
}

// "1=/dev/ttyUSB0 3=-" for what the numbers lead to (- for a number kept for a port not there),
// then "-=/dev/ttyUSB4" for each present port no number reaches.
QString summary(const ComPortMap &map) {
    QStringList parts;
    for (int n = 1; n <= ComPortCount; ++n) {
        const ComPortEntry &entry = map.entry(n);
        if (!entry.device.isEmpty())
            parts << QStringLiteral("%1=%2").arg(n).arg(entry.device);
        else if (!entry.description.isEmpty())
            parts << QStringLiteral("%1=-").arg(n);
    }
    for (const ComPortEntry &entry : map.unnumbered())
        parts << QStringLiteral("-=%1").arg(entry.device);
    return parts.join(QLatin1Char(' '));
}

QString summary(const ComNumbers &numbers) {
    QStringList parts;
    for (const auto &[n, identity] : numbers)
        parts << QStringLiteral("%1=%2").arg(n).arg(identity);
    return parts.join(QLatin1Char(' '));
}

const QString ById = QLatin1String(SerialByIdFolder);

} // namespace

using Ports = std::vector<PresentPort>;
Q_DECLARE_METATYPE(Ports)
// ComOverrides is the same map.
Q_DECLARE_METATYPE(ComNumbers)

class TestComPorts : public QObject {
    Q_OBJECT
private slots:
    void assignment_data();
    void assignment();
    void overridesComeFromTheEnvironmentGiven();
    void storeKeepsNumbersAcrossRuns();
    void storeHonoursAHandEditedFile();
    void storeNamesWhatItCannotUse_data();
    void storeNamesWhatItCannotUse();
    void byIdLinksNameTheirDevices();
    void devicesThatAreNoBoardsPort_data();
    void devicesThatAreNoBoardsPort();
    void aWatchSkipsWhatIsNoBoardsPort();
    void aNumberedPortIsJudgedAgainAsItOpens();
    void aWatchHearsOfABoardPluggedBackAtOnce();
};

void TestComPorts::assignment_data() {
    QTest::addColumn<Ports>("present");
    QTest::addColumn<ComNumbers>("kept");
    QTest::addColumn<ComOverrides>("overrides");
    QTest::addColumn<QString>("map");
    QTest::addColumn<QString>("added"); // and "-n" for each number let go

    QTest::newRow("first seen take the lowest numbers, in reading order")
        << Ports{adapter("/dev/ttyUSB10", "usb-B"), adapter("/dev/ttyUSB2", "usb-A")}
        << ComNumbers{} << ComOverrides{} << "1=/dev/ttyUSB2 2=/dev/ttyUSB10"
        << QString("1=%1usb-A 2=%1usb-B").arg(ById);
    PresentPort console = uart(0);
    console.notABoard = QStringLiteral("the system console");
    PresentPort shell = adapter("/dev/ttyUSB1", "usb-S");
    shell.notABoard = QStringLiteral("the terminal of process 4321 (bash)");
    QTest::newRow("the console keeps its number and leads nowhere; a terminal in use gets none")
        << Ports{console, shell, adapter("/dev/ttyUSB0", "usb-A")} << ComNumbers{} << ComOverrides{}
        << "1=- 2=/dev/ttyUSB0 -=" << QString("2=%1usb-A").arg(ById);
    QTest::newRow("unplugged keeps its number; back under another path, the same")
        << Ports{adapter("/dev/ttyUSB0", "usb-B")}
        << ComNumbers{{1, ById + "usb-A"}, {2, ById + "usb-B"}} << ComOverrides{}
        << "1=- 2=/dev/ttyUSB0"
        << "";
    QTest::newRow("new port takes the lowest free number after gaps")
        << Ports{adapter("/dev/ttyUSB0", "usb-D"), adapter("/dev/ttyUSB1", "usb-A")}
        << ComNumbers{{1, ById + "usb-A"}, {3, ById + "usb-C"}} << ComOverrides{}
        << "1=/dev/ttyUSB1 2=/dev/ttyUSB0 3=-" << QString("2=%1usb-D").arg(ById);
    QTest::newRow("built-in ttyS1 is COM 2, never kept, its number given to nothing else")
        << Ports{uart(1), adapter("/dev/ttyUSB0", "usb-A"), adapter("/dev/ttyUSB1", "usb-B")}
        << ComNumbers{} << ComOverrides{} << "1=/dev/ttyUSB0 2=/dev/ttyS1 3=/dev/ttyUSB1"
        << QString("1=%1usb-A 3=%1usb-B").arg(ById);
    QTest::newRow("adapter kept on a built-in's number moves to the lowest free")
        << Ports{uart(0), adapter("/dev/ttyUSB0", "usb-A")} << ComNumbers{{1, ById + "usb-A"}}
        << ComOverrides{} << "1=/dev/ttyS0 2=/dev/ttyUSB0" << QString("2=%1usb-A -1").arg(ById);
    QTest::newRow("TORVANE_COMn leads n to its device; new ports pass it by")
        << Ports{uart(2), adapter("/dev/ttyUSB0", "usb-A")} << ComNumbers{}
        << ComOverrides{{1, "/dev/pts/7"}, {3, "/dev/pts/8"}}
        << "1=/dev/pts/7 2=/dev/ttyUSB0 3=/dev/pts/8 -=/dev/ttyS2"
        << QString("2=%1usb-A").arg(ById);
    QTest::newRow("a port kept on an overridden number is reached by none meanwhile")
        << Ports{adapter("/dev/ttyUSB0", "usb-A")} << ComNumbers{{1, ById + "usb-A"}}
        << ComOverrides{{1, "/dev/pts/7"}} << "1=/dev/pts/7 -=/dev/ttyUSB0"
        << "";
    QTest::newRow("adapters sharing one serial number go by their paths")
        << Ports{usbAdapter("/dev/ttyUSB0", "0001"), usbAdapter("/dev/ttyUSB1", "0001"),
                 usbAdapter("/dev/ttyUSB2", "A50285BI")}
        << ComNumbers{} << ComOverrides{} << "1=/dev/ttyUSB0 2=/dev/ttyUSB1 3=/dev/ttyUSB2"
        << "1=/dev/ttyUSB0 2=/dev/ttyUSB1 3=usb:0403:6001:A50285BI";
    ComNumbers full;
    for (int n = 1; n <= ComPortCount; ++n)
        full[n] = QStringLiteral("/dev/ttyACM%1").arg(n);
    QTest::newRow("with all ten kept, a new port gets none")
        << Ports{adapter("/dev/ttyUSB0", "usb-A")} << full << ComOverrides{}
        << "1=- 2=- 3=- 4=- 5=- 6=- 7=- 8=- 9=- 10=- -=/dev/ttyUSB0"
        << "";
}

void TestComPorts::assignment() {
    QFETCH(Ports, present);
    QFETCH(ComNumbers, kept);
    QFETCH(ComOverrides, overrides);
    QFETCH(QString, map);
    QFETCH(QString, added);
    const ComNumbering numbering = AssignComNumbers(present, kept, overrides);
    QCOMPARE(summary(numbering.map), map);
    QString changes = summary(numbering.added);
    for (int n : numbering.dropped)
        changes += QStringLiteral(" -%1").arg(n);
    QCOMPARE(changes, added);
}

void TestComPorts::overridesComeFromTheEnvironmentGiven() {
    QProcessEnvironment environment;
    environment.insert("TORVANE_COM1", "/dev/pts/3");
    environment.insert("TORVANE_COM10", "/tmp/ttyTORVANE");
    environment.insert("TORVANE_COM2", "");
    environment.insert("TORVANE_COM11", "/dev/pts/4");
    environment.insert("TORVANE_COM0", "/dev/pts/5");
    const ComOverrides expected{{1, "/dev/pts/3"}, {10, "/tmp/ttyTORVANE"}};
    QCOMPARE(ComOverridesFrom(environment), expected);
}

void TestComPorts::storeKeepsNumbersAcrossRuns() {
    QTemporaryDir config;
    QVERIFY(config.isValid());
    const QString file = config.filePath("torvane/ports.ini");
    {
        // Nothing new to keep: nothing is written.
        PortStore store(file);
        QCOMPARE(summary(store.assign({uart(0)}, {})), QString("1=/dev/ttyS0"));
        QVERIFY(!QFile::exists(file));
        const ComPortMap map = store.assign(
            {uart(0), adapter("/dev/ttyUSB0", "usb-A"), usbAdapter("/dev/ttyUSB1", "X1")}, {});
        QCOMPARE(summary(map), QString("1=/dev/ttyS0 2=/dev/ttyUSB0 3=/dev/ttyUSB1"));
        QVERIFY2(map.keepError().isEmpty(), qPrintable(map.keepError()));
    }
    // The next run: the first adapter unplugged, the second back under another path, a third new.
    PortStore store(file);
    const ComPortMap map =
        store.assign({usbAdapter("/dev/ttyUSB0", "X1"), adapter("/dev/ttyACM0")}, {});
    QCOMPARE(summary(map), QString("1=/dev/ttyACM0 2=- 3=/dev/ttyUSB0"));
    QFile written(file);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(written.readAll()).split('\n', Qt::SkipEmptyParts),
             QStringList({"[ports]", "COM1=/dev/ttyACM0", "COM2=" + ById + "usb-A",
                          "COM3=usb:0403:6001:X1"}));
}

void TestComPorts::storeHonoursAHandEditedFile() {
    QTemporaryDir config;
    QVERIFY(config.isValid());
    const QString file = config.filePath("ports.ini");
    QFile edited(file);
    QVERIFY(edited.open(QIODevice::WriteOnly));
    edited.write("[ports]\n"
                 "COM1 = usb-Bare_Name-if00-port0\n"
                 "com02=USB:0403:6001:A50285BI\n"
                 "COM3=/dev/ttyACM0\n"
                 "COM4=/dev/serial/by-id/usb-Gone-if00-port0\n"
                 "COM6=not/an/identity\n"
                 "COM12=/dev/ttyUSB9\n");
    edited.close();

    PresentPort bare = adapter("/dev/ttyUSB3", "usb-Bare_Name-if00-port0");
    const ComPortMap map = PortStore(file).assign(
        {bare, usbAdapter("/dev/ttyUSB0", "A50285BI"), adapter("/dev/ttyACM0"),
         adapter("/dev/ttyUSB9", "usb-New"), adapter("/dev/ttyUSB10", "usb-Newer")},
        {});
    // COM12 is beyond the list: its port is as good as new. COM6 names nothing: it is free.
    QCOMPARE(summary(map),
             QString("1=/dev/ttyUSB3 2=/dev/ttyUSB0 3=/dev/ttyACM0 4=- 5=/dev/ttyUSB9 "
                     "6=/dev/ttyUSB10"));
    // What was written by hand stays as written; the junk line gave way to the new port.
    QCOMPARE(summary(PortStore(file).read().numbers),
             QString("1=usb-Bare_Name-if00-port0 2=USB:0403:6001:A50285BI 3=/dev/ttyACM0 "
                     "4=%1usb-Gone-if00-port0 5=%1usb-New 6=%1usb-Newer 12=/dev/ttyUSB9")
                 .arg(ById));
}

void TestComPorts::storeNamesWhatItCannotUse_data() {
    QTest::addColumn<QByteArray>("text"); // or what stands there instead of a file
    QTest::addColumn<QString>("numbers");
    QTest::addColumn<QStringList>("problems");
    QTest::addColumn<QString>("keepError"); // after the file's name
    QTest::newRow("odd lines")
        << QByteArray("; kept by hand\n"
                      "COM2=/dev/ttyUSB5\n"
                      "[ports]\n"
                      "=x\n"
                      "COM99=/dev/ttyUSB0\n"
                      "COMx=/dev/ttyUSB1\n"
                      "COM4=/dev/ttyS0\n"
                      "garbage\n"
                      "COM3=/dev/ttyACM0\n"
                      "COM3=/dev/ttyACM1\n"
                      "COM6=/dev/ttyACM0\n"
                      "COM7=not/an/identity\n"
                      "[other]\n"
                      "COM8=/dev/ttyUSB2\n")
        << QString("1=/dev/ttyS0 2=/dev/ttyUSB7 3=/dev/ttyACM0")
        << QStringList{"line 2, \"COM2=/dev/ttyUSB5\": not used: it is outside "
                       "the [ports] section",
                       "line 4, \"=x\": not used: no COM number before the \"=\"",
                       "line 5, \"COM99=/dev/ttyUSB0\": not used: COM numbers run "
                       "from 1 to 10",
                       "line 6, \"COMx=/dev/ttyUSB1\": not used: \"COMx\" is no "
                       "COM number (COM1 to COM10)",
                       "line 8, \"garbage\": not used: it has no \"=\"",
                       "line 10, \"COM3=/dev/ttyACM1\": not used: COM3 is kept on "
                       "line 9 already",
                       "line 11, \"COM6=/dev/ttyACM0\": not used: /dev/ttyACM0 "
                       "keeps COM3 (line 9)",
                       "line 12, \"COM7=not/an/identity\": not used: it names no "
                       "port (a by-id name, usb:vvvv:pppp:serial, or a device path)",
                       "line 13, \"[other]\": not used: only the [ports] section is "
                       "read, and none of the lines under this one",
                       "line 7, \"COM4=/dev/ttyS0\": not used: /dev/ttyS0 is a "
                       "built-in port, which keeps its own number, COM.01"}
        << QString("writing it would lose its lines without \"=\"");
    // The settings write the file anew in an order of their own: the line is named where it
    // stands once the new numbers are kept.
    QTest::newRow("a file written anew")
        << QByteArray("[ports]\nCOMx=/dev/ttyUSB1\nCOM9=/dev/ttyUSB3\n")
        << QString("1=/dev/ttyS0 2=/dev/ttyACM0 3=/dev/ttyUSB7 9=-")
        << QStringList{"line 5, \"COMx=/dev/ttyUSB1\": not used: \"COMx\" is no COM number "
                       "(COM1 to COM10)"}
        << QString();
    QTest::newRow("binary") << QByteArray("\x7f"
                                          "ELF\x02\x01\x01\0\0\0\xff\xfe",
                                          12)
                            << QString("1=/dev/ttyS0 2=/dev/ttyACM0 3=/dev/ttyUSB7")
                            << QStringList{"is not a text file: nothing in it is used, and new "
                                           "COM numbers are not kept in it"}
                            << QString();
    // Neither a FIFO nor an endless device holds the program up: each is named, and passed by.
    for (const char *kind : {"directory", "FIFO", "character device"})
        QTest::newRow(kind) << QByteArray(kind)
                            << QString("1=/dev/ttyS0 2=/dev/ttyACM0 3=/dev/ttyUSB7")
                            << QStringList{QStringLiteral("cannot be read (a %1, not a file): the "
                                                          "COM numbers kept in it are not used, "
                                                          "and new ones are not kept")
                                               .arg(QLatin1String(kind))}
                            << QString();
}

void TestComPorts::storeNamesWhatItCannotUse() {
    QFETCH(QByteArray, text);
    QFETCH(QString, numbers);
    QFETCH(QStringList, problems);
    QFETCH(QString, keepError);
    // The problems are said by the program, never by the toolkit.
    QTest::failOnWarning(QRegularExpression(".*"));
    QTemporaryDir config;
    QVERIFY(config.isValid());
    const QString file = config.filePath("ports.ini");
    if (text == "directory") {
        QVERIFY(QDir().mkdir(file));
    } else if (text == "FIFO") {
        QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    } else if (text == "character device") {
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), file));
    } else {
        QFile edited(file);
        QVERIFY(edited.open(QIODevice::WriteOnly));
        edited.write(text);
    }
    const Ports present{uart(0), adapter("/dev/ttyACM0"), adapter("/dev/ttyUSB7")};
    // Twice: the second run reads what the first wrote, and finds the same lines to name.
    for (int run = 0; run < 2; ++run) {
        const ComPortMap map = PortStore(file).assign(present, {});
        QCOMPARE(summary(map), numbers);
        QStringList said = map.problems();
        for (QString &problem : said) {
            QVERIFY2(problem.startsWith('"' + file + "\" "), qPrintable(problem));
            problem.remove(0, file.size() + 3);
        }
        QCOMPARE(said, problems);
        QCOMPARE(map.keepError().section(": ", 1), keepError);
    }
}

void TestComPorts::byIdLinksNameTheirDevices() {
    PtyPair pty;
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QVERIFY(QFile::link(pty.slavePath(), folder.filePath("usb-FTDI_FT232R_A50285BI-if00-port0")));
    QFile other(folder.filePath("not-a-link"));
    QVERIFY(other.open(QIODevice::WriteOnly));
    const QHash<QString, QString> links = LinksByDevice(folder.path());
    QCOMPARE(links.size(), 1);
    QCOMPARE(links.value(pty.slavePath()), QString("usb-FTDI_FT232R_A50285BI-if00-port0"));
}

void TestComPorts::devicesThatAreNoBoardsPort_data() {
    QTest::addColumn<bool>("listed"); // the system lists its terminal drivers
    QTest::addColumn<uint>("major");
    QTest::addColumn<uint>("minor");
    QTest::addColumn<QString>("why");
    const auto row = [](const char *name, bool listed, uint major, uint minor, const char *why) {
        QTest::newRow(name) << listed << major << minor << QString(why);
    };
    const char *console = "the system console";
    const char *virtualConsole = "a terminal of the machine (a virtual console)";
    row("/dev/null", true, 1, 3, "no serial port");
    row("/dev/tty1", true, 4, 1, virtualConsole);
    row("/dev/tty0, the kernel's console", true, 4, 0, console);
    row("/dev/tty", true, 5, 0, "this program's own terminal");
    row("/dev/console", true, 5, 1, console);
    row("/dev/ptmx", true, 5, 2, "no serial port");
    row("/dev/ttyS0, the kernel's console", true, 4, 64, console);
    row("/dev/ttyS1", true, 4, 65, "");
    row("/dev/ttyS2, no UART behind it", true, 4, 66, "a built-in port with no UART behind it");
    row("/dev/ttyUSB0", true, 188, 0, "");
    row("/dev/pts/7, the emulator's", true, 136, 7, "");
    row("/dev/pts/3, this program's terminal", true, 136, 3, "this program's own terminal");
    row("/dev/pts/4, someone's shell", true, 136, 4, "the terminal of process 4321 (bash)");
    row("/dev/ttyS3 with a login on it", true, 4, 67, "the terminal of process 812 (agetty)");
    row("/dev/input/mice", true, 13, 63, "no serial port");
    row("/dev/null, not listed", false, 1, 3, "no serial port");
    row("/dev/tty1, not listed", false, 4, 1, virtualConsole);
    row("/dev/console, not listed", false, 5, 1, console);
    row("/dev/pts/7, not listed", false, 136, 7, "");
}

void TestComPorts::devicesThatAreNoBoardsPort() {
    QFETCH(bool, listed);
    QFETCH(uint, major);
    QFETCH(uint, minor);
    QFETCH(QString, why);
    MachineTerminals terminals;
    if (listed)
        terminals.drivers =
            ParseTtyDrivers("/dev/tty             /dev/tty        5       0 "
                            "system:/dev/tty\n"
                            "/dev/console         /dev/console    5       1 "
                            "system:console\n"
                            "/dev/ptmx            /dev/ptmx       5       2 system\n"
                            "/dev/vc/0            /dev/vc/0       4       0 "
                            "system:vtmaster\n"
                            "usbserial            /dev/ttyUSB   188 0-511 serial\n"
                            "serial               /dev/ttyS       4 64-111 serial\n"
                            "pty_slave            /dev/pts      136 0-1048575 "
                            "pty:slave\n"
                            "pty_master           /dev/ptm      128 0-1048575 "
                            "pty:master\n"
                            "unknown              /dev/tty        4 1-63 console\n");
    terminals.consoles = {{4, 0}, {4, 64}};
    terminals.own = {136, 3};
    terminals.inUse = {{{136, 4}, "4321 (bash)"}, {{4, 67}, "812 (agetty)"}};
    terminals.noUart = {{4, 66}};
    QCOMPARE(NoBoardPort({major, minor}, terminals), why);
}

void TestComPorts::aWatchSkipsWhatIsNoBoardsPort() {
    PtyPair pty;
    PortWatch watch({QStringLiteral("/dev/nul[l]"), pty.slavePath()}, {});
    for (int look = 0; look < 2; ++look) {
        const std::vector<FoundPort> found = watch.scan();
        QCOMPARE(found.size(), size_t(1));
        QCOMPARE(found.front().device, pty.slavePath());
        QCOMPARE(watch.skipped().size(), size_t(1));
        QCOMPARE(watch.skipped().front().device, QString("/dev/null"));
        QCOMPARE(watch.skipped().front().why, QString("no serial port"));
    }
}

void TestComPorts::aNumberedPortIsJudgedAgainAsItOpens() {
    // A COM number led to a port when the numbers were looked up; as it opens, the device is a
    // terminal someone uses (a session's own, as a shell's is). It is refused on the open
    // descriptor, and gets no byte and no setting.
    SessionTerminal terminal;
    QVERIFY(terminal.started());
    // Once the session has taken the terminal as its own.
    struct stat node {};
    QCOMPARE(::stat(QFile::encodeName(terminal.slavePath()).constData(), &node), 0);
    QTRY_VERIFY(!NoBoardPortNow(quint64(node.st_rdev)).isEmpty());
    termios before{};
    QCOMPARE(::tcgetattr(terminal.masterFd(), &before), 0);
    TMSComm comm;
    comm.setPortResolver([&](int) {
        return TMSComm::PortTarget{terminal.slavePath(), QString(), false};
    });
    PortCheck check;
    check.judge = NoBoardPortNow;
    comm.setPortCheck(check);
    const std::optional<QString> failure = OpenComPort(comm, 0);
    QVERIFY(failure);
    QVERIFY2(
        failure->contains(QStringLiteral("is no board's port: it is the terminal of process %1")
                              .arg(terminal.processId())),
        qPrintable(*failure));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(terminal.drain(), QByteArray());
    termios after{};
    QCOMPARE(::tcgetattr(terminal.masterFd(), &after), 0);
    QCOMPARE(::memcmp(&before, &after, sizeof before), 0);
}

void TestComPorts::aWatchHearsOfABoardPluggedBackAtOnce() {
#ifndef Q_OS_LINUX
    QSKIP("the system tells no folder's changes here");
#endif
    auto board = std::make_unique<PtyPair>();
    const QString path = board->slavePath();
    PortWatch watch({path}, {});
    watch.scan();
    QVERIFY(watch.replugged().empty());
    // Unplugged and back before the next look: the system gives the lowest free number again,
    // and the node looks the same as before.
    board.reset();
    board = std::make_unique<PtyPair>();
    if (board->slavePath() != path)
        QSKIP("another program took the terminal's number meanwhile");
    watch.scan();
    QCOMPARE(watch.replugged(), std::set<QString>{path});
    watch.scan();
    QVERIFY(watch.replugged().empty());
}

QTEST_GUILESS_MAIN(TestComPorts)
#include "tst_com_ports.moc"
