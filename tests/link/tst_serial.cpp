// The serial component and the wire protocol against a real pseudo-terminal; the test plays the
// device on the master side.
#include "link/blocks.h"
#include "link/comm_error.h"
#include "link/event_pump.h"
#include "link/frames.h"
#include "link/handshake.h"
#include "link/line.h"
#include "link/port_claim.h"
#include "link/port_opening.h"
#include "link/tmscomm.h"
#include "support/pty_pair.h"

#include <QLockFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSerialPort>
#include <QtTest>

#include <functional>
#include <iostream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// The front end as the link sees it; `onEvents` plays the device while the link waits.
struct TestConsole : EventPump {
    int events = 0;
    std::function<void(int)> onEvents;

    void processEvents() override {
        ++events;
        if (onEvents)
            onEvents(events);
    }
};

QByteArray frame(CommandCode code) {
    return FrameOf(code);
}

} // namespace

class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void openComPortOpensTheMappedPort();
    void openComPortReportsAMissingDevice();
    void openComPortReportsAPortHeldByAnotherProcess();
    void aChildBeingStartedHoldsNoPortOfItsOwn();
    void lockFilesOfOtherPrograms_data();
    void lockFilesOfOtherPrograms();
    void aLockThatIsNoFileIsLeftAsItIs();
    void inputReadsOneCharacterOrOneBlock();
    void closedPortRaisesPortClosed();

    void waitReplyConsumption_data();
    void waitReplyConsumption();
    void waitReplyWithNoPollsDoesNothing();

    void sendBlock_data();
    void sendBlock();
    void sendBlockDiscardsAStaleAcknowledgement();
    void framesSentBackToBackArriveWhole();
    void hangUpMidWaitRaisesDeviceLost();

    void connectDeviceOnAClosedPortSendsNothing();
    void connectDeviceGivesUpAfter1999Requests();
    void connectDeviceRetriesAfterAStrayByte();
    void aCopyOfTheAnswerCutByThePurgeIsPassedOver();

private:
    std::unique_ptr<PtyPair> pty;
    std::map<int, QString> devices; // where each COM number leads
    std::unique_ptr<TMSComm> comm;
    std::unique_ptr<TestConsole> console;
    std::unique_ptr<Line> line;

    void open() {
        const std::optional<QString> failure = OpenComPort(*comm, 0);
        QVERIFY2(!failure, qPrintable(failure.value_or(QString())));
    }
};

void TestSerial::init() {
    pty = std::make_unique<PtyPair>();
    devices = {{1, pty->slavePath()}};
    comm = std::make_unique<TMSComm>();
    comm->setPortResolver([this](int n) {
        return TMSComm::PortTarget{devices.count(n) ? devices.at(n) : QString(),
                                   QStringLiteral("no device")};
    });
    comm->setPollPause(50us);
    console = std::make_unique<TestConsole>();
    line = std::make_unique<Line>(*comm, *console);
}

void TestSerial::cleanup() {
    line.reset();
    comm.reset();
    console.reset();
    pty.reset();
}

void TestSerial::openComPortOpensTheMappedPort() {
    open();
    QVERIFY(comm->PortOpen());
    QCOMPARE(comm->CommPort(), 1);
    QCOMPARE(comm->Settings(), QStringLiteral("115200,E,8,1"));
    QCOMPARE(comm->InputMode(), int(TMSComm::comInputModeText));
    QCOMPARE(comm->InputLen(), 1);
    // Opening the open port again closes and reopens it.
    comm->setInputMode(TMSComm::comInputModeBinary);
    open();
    QVERIFY(comm->PortOpen());
    QCOMPARE(comm->InputMode(), int(TMSComm::comInputModeText));
}

void TestSerial::openComPortReportsAMissingDevice() {
    devices[3] = "/dev/torvane-no-such-device";
    const std::optional<QString> failure = OpenComPort(*comm, 2);
    QVERIFY(failure);
    QVERIFY2(failure->contains("/dev/torvane-no-such-device"), qPrintable(*failure));
    QVERIFY(!comm->PortOpen());
    QCOMPARE(comm->CommPort(), 3);
}

void TestSerial::openComPortReportsAPortHeldByAnotherProcess() {
    QProcess holder;
    holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TORVANE_HOLD_PORT", pty->slavePath());
    holder.setProcessEnvironment(env);
    holder.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(holder.waitForReadyRead(5000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

    const std::optional<QString> failure = OpenComPort(*comm, 0);
    QVERIFY(failure);
    QVERIFY2(failure->contains("in use by another program"), qPrintable(*failure));

    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(5000));
    open();
}

// A child between its fork and its exec (a helper program a station starts, as the publisher's
// name lookup) holds a copy of every descriptor of ours for a moment: it does not hold our port
// against us. One that opened the port itself does (above).
void TestSerial::aChildBeingStartedHoldsNoPortOfItsOwn() {
    open();
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(pty->slavePath()).constData(), &st), 0);
    int gate[2];
    QCOMPARE(::pipe(gate), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // The device's end stays the test's: the child holds the port's descriptors only.
        ::close(pty->masterFd());
        char byte = 0;
        ::close(gate[1]);
        _exit(::read(gate[0], &byte, 1) >= 0 ? 0 : 1);
    }
    ::close(gate[0]);
    const QStringList holders = HoldersOf(st.st_rdev);
    ::close(gate[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    QVERIFY2(holders.isEmpty(), qPrintable(holders.join(", ")));
}

void TestSerial::lockFilesOfOtherPrograms_data() {
    QTest::addColumn<QByteArray>("content"); // PID stands for the PID of the lock's owner
    QTest::addColumn<bool>("alive");
    QTest::addColumn<bool>("refused");
    QTest::newRow("ten digits of a live program") << QByteArray("PID\n") << true << true;
    QTest::newRow("a live PID and further lines") << QByteArray("PID\nminicom\n") << true << true;
    QTest::newRow("a live PID as a binary int") << QByteArray("binary") << true << true;
    QTest::newRow("empty") << QByteArray() << false << false;
    QTest::newRow("garbled") << QByteArray("\x01\x02 no pid\n") << false << false;
    QTest::newRow("a PID that is gone") << QByteArray("PID\n") << false << false;
}

void TestSerial::lockFilesOfOtherPrograms() {
    QFETCH(QByteArray, content);
    QFETCH(bool, alive);
    QFETCH(bool, refused);
    // The conventional name: the device's, never the link's by which it was reached.
    const QString lockPath =
        "/var/lock/LCK.." + pty->slavePath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    if (!QFileInfo(QStringLiteral("/var/lock")).isWritable())
        QSKIP("the lock folder is not writable here");
    QTemporaryDir links;
    QVERIFY(QFile::link(pty->slavePath(), links.filePath("board")));
    devices = {{1, links.filePath("board")}};
    const auto removeLock = qScopeGuard([&] { QFile::remove(lockPath); });

    QProcess owner;
    owner.start("sleep", {alive ? "30" : "0"});
    QVERIFY(owner.waitForStarted());
    const qint64 pid = owner.processId();
    if (!alive)
        QVERIFY(owner.waitForFinished());
    const auto endOwner = qScopeGuard([&] {
        owner.kill();
        owner.waitForFinished();
    });
    if (content == "binary")
        content = QByteArray(reinterpret_cast<const char *>(&pid), sizeof(int));
    content.replace("PID", QByteArray::number(pid).rightJustified(10, ' '));
    QFile foreign(lockPath);
    QVERIFY(foreign.open(QIODevice::NewOnly));
    foreign.write(content);
    foreign.close();

    QStringList notes;
    comm->setNoteSink([&notes](const QString &note) { notes << note; });
    const std::optional<QString> failure = OpenComPort(*comm, 0);
    if (refused) {
        QVERIFY(failure);
        for (const QString &named : {lockPath, QString::number(pid), QStringLiteral("sleep")})
            QVERIFY2(failure->contains(named), qPrintable(*failure));
        QFile kept(lockPath);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
        return;
    }
    QVERIFY2(!failure, qPrintable(failure.value_or(QString())));
    QCOMPARE(notes.size(), 1);
    QVERIFY2(notes[0].contains(lockPath), qPrintable(notes[0]));
    // Ours in its place, with our PID on the first line, and a lock QSerialPort's programs honour.
    QFile ours(lockPath);
    QVERIFY(ours.open(QIODevice::ReadOnly));
    QCOMPARE(ours.readLine().trimmed().toLongLong(), QCoreApplication::applicationPid());
    QLockFile qtLock(lockPath);
    QVERIFY(!qtLock.tryLock(0));
    comm->setPortOpen(false);
    QVERIFY(!QFile::exists(lockPath));
}

void TestSerial::aLockThatIsNoFileIsLeftAsItIs() {
    // A folder where the lock would be is no lock of a live program: it is named and left, and
    // nothing is moved aside beside it.
    const QString name = "LCK.." + pty->slavePath().mid(5).replace(QLatin1Char('/'), '_');
    const QDir folder(QStringLiteral("/var/lock"));
    if (!QFileInfo(folder.path()).isWritable())
        QSKIP("the lock folder is not writable here");
    // What other programs left there, killed on their way, is theirs.
    const QStringList hiddenBefore =
        folder.entryList({"." + name + "*"}, QDir::AllEntries | QDir::Hidden);
    QVERIFY(folder.mkdir(name));
    const auto removeFolder = qScopeGuard([&] { folder.rmdir(name); });
    QStringList notes;
    comm->setNoteSink([&notes](const QString &note) { notes << note; });
#ifdef TORVANE_PORTABLE_LINE
    // The toolkit's line writes its own lock, or opens nothing: it is told why.
    const std::optional<QString> failure = OpenComPort(*comm, 0);
    QVERIFY(failure);
    QVERIFY2(failure->contains(folder.filePath(name) + " is no file"), qPrintable(*failure));
#else
    open();
#endif
    QCOMPARE(notes.size(), 1);
    QVERIFY2(notes[0].contains(folder.filePath(name) + " is a directory, not a lock"),
             qPrintable(notes[0]));
    comm->setPortOpen(false);
    QVERIFY(QFileInfo(folder.filePath(name)).isDir());
    QCOMPARE(folder.entryList({"." + name + "*"}, QDir::AllEntries | QDir::Hidden), hiddenBefore);
}

void TestSerial::inputReadsOneCharacterOrOneBlock() {
    open();
    pty->write("@KZ");
    QTRY_COMPARE(comm->InBufferCount(), 3);
    QCOMPARE(comm->Input(), QByteArray("@"));
    QCOMPARE(comm->InBufferCount(), 2);

    comm->setInBufferCount(0);
    QCOMPARE(comm->InBufferCount(), 0);
    comm->setInputMode(TMSComm::comInputModeBinary);
    comm->setInputLen(256);
    QByteArray block(300, 0);
    for (int i = 0; i < block.size(); ++i)
        block[i] = char(i * 7);
    block[10] = '\r'; // binary bytes pass untouched, CR included
    pty->write(block);
    QTRY_COMPARE(comm->InBufferCount(), 300);
    QCOMPARE(comm->Input(), block.left(256));
    QCOMPARE(comm->InBufferCount(), 44);
}

void TestSerial::closedPortRaisesPortClosed() {
    open();
    comm->setPortOpen(false);
    for (const auto &use : std::vector<std::function<void()>>{
             [&] { comm->InBufferCount(); }, [&] { comm->Input(); }, [&] { comm->setOutput("x"); },
             [&] { SendCommand(*line, CommandCode::RRSS); }}) {
        try {
            use();
            QFAIL("no error on a closed port");
        } catch (const CommError &e) {
            QCOMPARE(e.kind(), CommError::Kind::PortClosed);
        }
    }
}

void TestSerial::waitReplyConsumption_data() {
    QTest::addColumn<QByteArray>("waiting");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("left");
    const QByteArray rrss = frame(CommandCode::RRSS);
    QTest::newRow("expected reply") << rrss << true << 0;
    QTest::newRow("fewer than nine") << rrss.left(8) << false << 8;
    QTest::newRow("stray byte first") << QByteArray("x") + rrss << false << 9;
    QTest::newRow("failure code") << frame(CommandCode::RRFD) << false << 0;
    QTest::newRow("two replies") << rrss + frame(CommandCode::RCVS) << true << 9;
    QTest::newRow("lower case") << QByteArray("@kzvnrrss") << false << 0;
    QTest::newRow("other tag") << QByteArray("@KZVMRRSS") << false << 0;
}

void TestSerial::waitReplyConsumption() {
    QFETCH(QByteArray, waiting);
    QFETCH(bool, result);
    QFETCH(int, left);
    open();
    pty->write(waiting);
    QTRY_COMPARE(comm->InBufferCount(), int(waiting.size()));
    QCOMPARE(WaitReply(*line, CommandCode::RRSS, 20), result);
    QCOMPARE(comm->InBufferCount(), left);
    if (waiting.size() < 9)
        QCOMPARE(console->events, 20); // every poll ran, each letting the window work
}

void TestSerial::waitReplyWithNoPollsDoesNothing() {
    open();
    pty->write(frame(CommandCode::RRSS));
    QTRY_COMPARE(comm->InBufferCount(), 9);
    QVERIFY(!WaitReply(*line, CommandCode::RRSS, 0));
    QVERIFY(!WaitReply(*line, CommandCode::RRSS, -5));
    QCOMPARE(console->events, 0);
    QCOMPARE(comm->InBufferCount(), 9);
}

void TestSerial::sendBlock_data() {
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("acknowledged");
    QTest::newRow("RRSS") << frame(CommandCode::RRSS) << true;
    QTest::newRow("RRSS in pieces") << frame(CommandCode::RRSS) << true;
    QTest::newRow("RRFD") << frame(CommandCode::RRFD) << false;
    QTest::newRow("silence") << QByteArray() << false;
}

void TestSerial::sendBlock() {
    QFETCH(QByteArray, answer);
    QFETCH(bool, acknowledged);
    open();
    Block block;
    for (int i = 0; i < BlockSize; ++i)
        block[size_t(i)] = quint8(255 - i);
    QByteArray received;
    const bool pieces = QByteArray(QTest::currentDataTag()).contains("pieces");
    console->onEvents = [&](int poll) {
        if (poll == 1) {
            received = pty->read(BlockSize);
            if (pieces) {
                pty->write(answer.left(4));
                return;
            }
            pty->write(answer);
        } else if (poll == 5 && pieces) {
            pty->write(answer.mid(4));
        }
    };
    QCOMPARE(SendBlock(*line, block), acknowledged);
    QCOMPARE(received, QByteArray(reinterpret_cast<const char *>(block.data()), BlockSize));
    if (answer.isEmpty())
        QCOMPARE(console->events, 300);
    else
        QVERIFY(console->events < 300);
}

void TestSerial::sendBlockDiscardsAStaleAcknowledgement() {
    open();
    pty->write(frame(CommandCode::RRSS));
    QTRY_COMPARE(comm->InBufferCount(), 9);
    QVERIFY(!SendBlock(*line, Block{}));
    QCOMPARE(console->events, 300);
}

void TestSerial::framesSentBackToBackArriveWhole() {
    open();
    const QByteArray expected =
        frame(CommandCode::RCVS) + frame(CommandCode::REFS) + frame(CommandCode::RWFS);
    for (int round = 0; round < 200; ++round) {
        SendCommand(*line, CommandCode::RCVS);
        SendCommand(*line, CommandCode::REFS);
        SendCommand(*line, CommandCode::RWFS);
        QCOMPARE(pty->read(int(expected.size())), expected);
    }
}

void TestSerial::hangUpMidWaitRaisesDeviceLost() {
    open();
    console->onEvents = [&](int poll) {
        if (poll == 3)
            pty->hangUp();
    };
    try {
        WaitReply(*line, CommandCode::RCVS, 100000);
        QFAIL("a hung-up device went unnoticed");
    } catch (const CommError &e) {
        QCOMPARE(e.kind(), CommError::Kind::DeviceLost);
        QVERIFY2(e.message().contains("the line was hung up"), qPrintable(e.message()));
    }
    QVERIFY(console->events < 10);
    QVERIFY(!comm->PortOpen());
}

void TestSerial::connectDeviceOnAClosedPortSendsNothing() {
    QVERIFY(!ConnectDevice(*line, TransferMode::UploadData));
    QCOMPARE(line->SendCodeSlot, CommandCode::RDPO);
    QCOMPARE(line->ExpectCodeSlot, CommandCode::TDPO);
    QVERIFY(pty->drain().isEmpty());
}

void TestSerial::connectDeviceGivesUpAfter1999Requests() {
    open();
    QByteArray sent;
    console->onEvents = [&](int) { sent += pty->drain(0ms); };
    QVERIFY(!ConnectDevice(*line, TransferMode::DownloadData));
    sent += pty->drain();
    QCOMPARE(sent.size(), 1999 * 9);
    QCOMPARE(sent.count(frame(CommandCode::TDPO)), 1999);
}

void TestSerial::connectDeviceRetriesAfterAStrayByte() {
    open();
    int requests = 0;
    console->onEvents = [&](int) {
        const QByteArray got = pty->drain(0ms);
        if (got.isEmpty())
            return;
        QCOMPARE(got, frame(CommandCode::RSPO));
        ++requests;
        // The first answer has a stray byte ahead of it; the second is clean.
        pty->write(requests == 1 ? "?" + frame(CommandCode::TSPO) : frame(CommandCode::TSPO));
    };
    QVERIFY(ConnectDevice(*line, TransferMode::UploadSoftware));
    QCOMPARE(requests, 2);
}

void TestSerial::aCopyOfTheAnswerCutByThePurgeIsPassedOver() {
    // The device answers both requests; the purge ahead of block 0 cuts the copy of its answer
    // in two, and the rest of it comes ahead of the acknowledgement.
    open();
    const QByteArray copy = frame(CommandCode::RDPO);
    int requests = 0;
    console->onEvents = [&](int) {
        const QByteArray got = pty->drain(0ms);
        if (got == frame(CommandCode::TDPO) && ++requests == 2)
            pty->write(copy + copy.left(4));
        else if (got.size() == BlockSize)
            pty->write(copy.mid(4) + frame(CommandCode::RRSS));
    };
    Handshake handshake;
    QVERIFY(ConnectDevice(*line, TransferMode::DownloadData, &handshake));
    QCOMPARE(requests, 2);
    QCOMPARE(handshake.requests, 2);
    QTRY_COMPARE(comm->InBufferCount(), 4);
    QVERIFY(SendBlock(*line, Block{}, &handshake.copies));
}

int main(int argc, char **argv) {
    // Helper mode: hold a port open, as another application would, until stdin closes.
    const QByteArray hold = qgetenv("TORVANE_HOLD_PORT");
    if (!hold.isEmpty()) {
        QCoreApplication app(argc, argv);
        QSerialPort port(QString::fromLocal8Bit(hold));
        if (!port.open(QIODevice::ReadWrite))
            return 1;
        std::cout << "held" << std::endl;
        std::string rest;
        std::getline(std::cin, rest);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestSerial test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_serial.moc"
