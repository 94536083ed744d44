// torvane-cli as a production station: the real program on many emulated devices at once (the
// emulator's --count), judged by each port's lines, the summary, the exit code, the devices'
// stored images, the files and the report it leaves.
#include "cli_run.h"
#include "link/lock_file.h"
#include "ports/com_numbering.h"
#include "station/board_run.h"
#include "station/boards.h"
#include "station/console_output.h"
#include "station/port_file_name.h"
#include "station/station_run.h"
#include "station/station_watch.h"
#include "support/device_process.h"
#include "support/images.h"
#include "support/pty_pair.h"
#include "support/session_terminal.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace cli_test;
using S = StatusCode;

constexpr int DataSize = 262144;
constexpr int DefaultSize = 131072;

// The status lines of one port, without its prefix.
QStringList linesOf(const CliRun &run, const QString &port) {
    QStringList own;
    for (const QString &line : run.lines) {
        if (line.startsWith(port + ": "))
            own << line.mid(port.size() + 2);
    }
    return own;
}

// The summary's row for a port: port, device, result words..., exit, seconds, bytes/s.
QStringList rowOf(const CliRun &run, const QString &port) {
    for (const QString &line : run.lines) {
        if (line.startsWith(port + "  "))
            return line.split(QRegularExpression("\\s{2,}"));
    }
    return {};
}

QStringList portArguments(const QStringList &ports) {
    QStringList arguments;
    for (const QString &port : ports)
        arguments << "--port" << port;
    return arguments;
}

QList<QJsonObject> records(const QString &path) {
    QList<QJsonObject> objects;
    for (const QByteArray &line : ReadFile(path).split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return {}; // every line whole and valid, or the report is wrong
        objects << document.object();
    }
    return objects;
}

QString sha256(const QByteArray &bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

bool waitForRecords(const QString &path, int count, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (records(path).size() < count) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(50);
    }
    return true;
}

// A board's console, run by the test itself: its error lines kept, the rest let go.
struct ErrorLines : ConsoleOutput {
    bool live() const override { return false; }
    void statusLine(const QString &) override {}
    void errorLine(const QString &text) override { errors << text; }
    void traceLine(const QByteArray &) override {}
    void drawProgress(const QString &) override {}
    void finishProgress(const QString &) override {}
    QStringList errors;
};

} // namespace

class TestStation : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void sixteenBoardsBehindAdaptersAllSucceed();
    void oneFaultyDeviceFailsAlone();
    void aJobOfThreeStepsFromARecipe();
    void theJournalTakesEachLineWithItsPriority();
    void programsAtTheEndGetEachRecordAndTheTotals();
    void uploadsLandInAFileEach();
    void uploadsBehindAdaptersAllSucceed();
    void interruptLeavesNoFile();
    void killedInThePauseAfterAnUploadKeepsItsRecord();
    void retriesCureAFaultTakenAway();
    void recipeRunsAndItsLotCountsAcrossRuns();
    void watchServesEachBoardOnceWhileItStays();
    void watchServesABoardOnceUnderTwoNames();
    void aWatchToldToFinishEndsItsBoardAndTakesNoNew();
    void aWatchedBoardNotServedIsRecordedAndCounted();
    void aWatchRefusesABoardWhoseUploadFileIsAnothers();
    void aWatchedLinkTurnedToATerminalLeavesItAlone();
    void aWatchWaitsForAHolderToLetGo();
    void liveViewHasALinePerPort();
    void stoppedTerminalHoldsUpNoBoard();
    void boardsPastTheDescriptorLimitWaitTheirTurn();
    void aLongStationRunsABoundedNumberAtOnce();
    void fileSizeLimitFailsTheWrite_data();
    void fileSizeLimitFailsTheWrite();
    void usageErrors_data();
    void usageErrors();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QTemporaryDir configHome;
    QTemporaryDir stateHome;
    QString path(const QString &name) const { return dir->filePath(name); }
};

void TestStation::initTestCase() {
    QVERIFY(configHome.isValid() && stateHome.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    qputenv("XDG_STATE_HOME", QFile::encodeName(stateHome.path()));
}

void TestStation::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

// Boards behind USB adapters whose latency timers hold each answer 16 or 40 ms, each a boot loader
// that answers one connect request and takes the next bytes for the operation's: a request sent
// again before the answer came would shift the whole image.
QStringList behindAdapters(int count) {
    QStringList faults{"--count",   QString::number(count), "--fault", "answer-once", "--fault",
                       "latency=16"};
    for (int k = count / 2; k < count; ++k)
        faults << "--fault" << QStringLiteral("%1:latency=40").arg(k);
    return faults + Quick;
}

void TestStation::sixteenBoardsBehindAdaptersAllSucceed() {
    DeviceProcess devices(behindAdapters(16) + QStringList{"--store", path("store")}, 5000, 16);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    const QByteArray image = TestImage(DefaultSize, 0x5eed);
    QVERIFY(WriteFile(path("default.bin"), image));
    const QStringList ports = devices.slavePaths();

    const CliRun run = runCli(
        QStringList{"download", "default", path("default.bin"), "--report", path("report.jsonl")} +
        portArguments(ports));

    QVERIFY2(run.exitCode == 0, qPrintable(run.lines.join('\n') + run.errors));
    QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 16);
    for (int k = 0; k < 16; ++k) {
        // Each device holds the image, after the very lines a single run shows.
        QCOMPARE(ReadFile(path(QStringLiteral("store/%1/default.bin").arg(k))), image);
        QCOMPARE(linesOf(run, ports[k]), DownloadLines);
        QCOMPARE(rowOf(run, ports[k]).value(3), QStringLiteral("0"));
        const auto record = std::find_if(report.begin(), report.end(), [&](const QJsonObject &r) {
            return r["port"].toString() == ports[k];
        });
        QVERIFY(record != report.end());
        QCOMPARE((*record)["sha256"].toString(), sha256(image));
        QCOMPARE((*record)["exitCode"].toInt(), 0);
        QCOMPARE((*record)["result"].toString(), StatusText(S::UpdateSuccess));
        QCOMPARE((*record)["operation"].toString(), QStringLiteral("download"));
        QVERIFY(QDateTime::fromString((*record)["start"].toString(), Qt::ISODateWithMs).isValid());
        // Asked once, and the record says how long the answer took to come through.
        QCOMPARE((*record)["connectRequests"].toInt(), 1);
        QVERIFY((*record)["connectSeconds"].toDouble() < 1);
    }
}

void TestStation::oneFaultyDeviceFailsAlone() {
    DeviceProcess devices(QStringList{"--count", "4", "--fault", "2:erase-fail"} + Quick, 5000, 4);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const QStringList ports = devices.slavePaths();

    const CliRun run =
        runCli(QStringList{"download", "data", path("data.bin"), "--report", path("report.jsonl")} +
               portArguments(ports));

    QCOMPARE(run.exitCode, 10);
    QVERIFY2(run.lines.last().contains("some devices failed (exit 10)"),
             qPrintable(run.lines.last()));
    const QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 4);
    for (int k = 0; k < 4; ++k) {
        const bool faulty = k == 2;
        const QStringList lines = linesOf(run, ports[k]);
        if (faulty)
            QCOMPARE(lines.last(), StatusText(S::EraseFlashFailed));
        else
            QCOMPARE(lines, DownloadLines);
        QCOMPARE(rowOf(run, ports[k]).value(3), faulty ? QStringLiteral("7") : QStringLiteral("0"));
        for (const QJsonObject &record : report) {
            if (record["port"].toString() == ports[k])
                QCOMPARE(record["exitCode"].toInt(), faulty ? 7 : 0);
        }
    }
}

// A recipe's job of three steps (a loader, the data, the default image read back) on three boards:
// one passes every step; one holds a default image that differs in block 57, and its read-back
// says so; one fails its first step, and its job ends there, its device asked for nothing more.
void TestStation::aJobOfThreeStepsFromARecipe() {
    const QByteArray loader = TestImage(DefaultSize, 1);
    const QByteArray data = TestImage(DataSize, 2);
    const QByteArray defaults = TestImage(DefaultSize, 3);
    QByteArray differs = defaults;
    differs[14600] = char(differs[14600] ^ 0x01);
    for (int k = 0; k < 3; ++k) {
        QVERIFY(QDir().mkpath(path(QStringLiteral("store/%1").arg(k))));
        QVERIFY(WriteFile(path(QStringLiteral("store/%1/default.bin").arg(k)),
                          k == 1 ? differs : defaults));
    }
    QVERIFY(WriteFile(path("loader.bin"), loader) && WriteFile(path("data.bin"), data) &&
            WriteFile(path("default.bin"), defaults));
    DeviceProcess devices(QStringList{"--count", "3", "--store", path("store"), "--trace",
                                      "--fault", "answer-once", "--fault", "2:erase-fail"} +
                              Quick,
                          5000, 3);
    QVERIFY2(devices.slavePaths().size() == 3, qPrintable(devices.errorString()));
    const QStringList ports = devices.slavePaths();
    QString recipe = QStringLiteral("download loader %1\ndownload data %2\nverify default %3 "
                                    "--expect-sha256 %4\n--report %5\n")
                         .arg(path("loader.bin"), path("data.bin"), path("default.bin"),
                              sha256(defaults), path("report.jsonl"));
    for (const QString &port : ports)
        recipe += QStringLiteral("--port %1\n").arg(port);
    QVERIFY(WriteFile(path("line.recipe"), recipe.toUtf8()));

    const CliRun run = runCli({"--recipe", path("line.recipe")});

    QCOMPARE(run.exitCode, 10);
    const QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 3); // one record a board, not a step
    const QStringList names{"loader.bin", "data.bin", "default.bin"};
    const QList<QByteArray> images{loader, data, defaults};
    for (int k = 0; k < 3; ++k) {
        QJsonObject record;
        for (const QJsonObject &line : report) {
            if (line["port"].toString() == ports[k])
                record = line;
        }
        const QJsonArray steps = record["steps"].toArray();
        // Every step that ran, in order, with what it moved and how it ended.
        QCOMPARE(steps.size(), k == 2 ? 1 : 3);
        for (int s = 0; s < steps.size(); ++s) {
            const QJsonObject step = steps[s].toObject();
            QCOMPARE(step["command"].toString(), s == 2 ? QString("verify") : QString("download"));
            QCOMPARE(step["kind"].toString(), QStringList({"loader", "data", "default"})[s]);
            QCOMPARE(step["file"].toString(), path(names[s]));
            QCOMPARE(step["size"].toInt(), images[s].size());
            QCOMPARE(step["sha256"].toString(), sha256(images[s]));
            QVERIFY(step["seconds"].toDouble() <= record["seconds"].toDouble());
        }
        const QStringList lines = linesOf(run, ports[k]);
        QCOMPARE(lines.first(), QStringLiteral("step 1 of 3: Download Loader"));
        if (k == 0) {
            QCOMPARE(record["exitCode"].toInt(), 0);
            QCOMPARE(steps[2].toObject()["exitCode"].toInt(), 0);
            QCOMPARE(lines, QStringList{"step 1 of 3: Download Loader"} + DownloadLines +
                                QStringList{"step 2 of 3: Download Data"} + DownloadLines +
                                QStringList{"step 3 of 3: Verify Default"} + UploadLines);
        } else if (k == 1) {
            // The record's verdict is the read-back's; the cause names the block and the byte.
            QCOMPARE(record["exitCode"].toInt(), 11);
            QCOMPARE(record["operation"].toString(), QStringLiteral("verify"));
            QCOMPARE(record["result"].toString(), StatusText(S::UpdateFailed));
            const QString cause = "the device's default differs from default.bin from block 57 "
                                  "(byte 14,600)";
            QCOMPARE(record["cause"].toString(), cause);
            QCOMPARE(steps[1].toObject()["exitCode"].toInt(), 0);
            QCOMPARE(steps[2].toObject()["exitCode"].toInt(), 11);
            QCOMPARE(steps[2].toObject()["cause"].toString(), cause);
            QCOMPARE(lines.last(), StatusText(S::UpdateFailed));
            QVERIFY2(
                rowOf(run, ports[k]).last().startsWith("step 3 of 3, Verify Default: " + cause),
                qPrintable(rowOf(run, ports[k]).join('|')));
        } else {
            QCOMPARE(record["exitCode"].toInt(), 7);
            QCOMPARE(record["kind"].toString(), QStringLiteral("loader"));
            QCOMPARE(lines.last(), StatusText(S::EraseFlashFailed));
        }
        QCOMPARE(rowOf(run, ports[k]).value(3), QStringList({"0", "11", "7"})[k]);
    }
    // Each phase's progress says its step.
    QVERIFY2(run.errors.contains(ports[0] + ": step 3 of 3: Verify Default 100%  520/520 blocks"),
             qPrintable(run.errors));
    // The board that failed its first step got no other request: its device saw one operation.
    const QString trace = devices.stderrText();
    QCOMPARE(trace.count(QRegularExpression("\\[2\\] <- \\S+\\s+connect request")), 1);
    QCOMPARE(trace.count(QRegularExpression("\\[0\\] <- \\S+\\s+connect request")), 3);
    QCOMPARE(ReadFile(path("store/0/loader.bin")), loader);
    QCOMPARE(ReadFile(path("store/0/data.bin")), data);
    QVERIFY(!QFileInfo::exists(path("store/2/data.bin")));
}

void TestStation::theJournalTakesEachLineWithItsPriority() {
    // As systemd gives a service's stderr to the journal: a stream it names in JOURNAL_STREAM.
    DeviceProcess devices(QStringList{"--count", "2", "--fault", "1:erase-fail"} + Quick, 5000, 2);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const QString journal = path("journal");
    QVERIFY(WriteFile(journal, {}));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(journal).constData(), &st), 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("JOURNAL_STREAM", QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino));
    QProcess cli;
    cli.setStandardErrorFile(journal);
    const QStringList ports = devices.slavePaths();
    startCli(cli, QStringList{"download", "data", path("data.bin")} + portArguments(ports), env);
    const CliRun run = finish(cli);

    QCOMPARE(run.exitCode, 10);
    const QStringList lines =
        QString::fromLocal8Bit(ReadFile(journal)).split('\n', Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    for (const QString &line : lines)
        QVERIFY2(line.startsWith("<3>") || line.startsWith("<6>"), qPrintable(line));
    const QString failed = ports[1] + ": " + StatusText(S::EraseFlashFailed);
    const QString passed = ports[0] + ": " + StatusText(S::UpdateSuccess) + "  ";
    QVERIFY2(lines.filter("<3>" + failed).size() == 1, qPrintable(lines.join('\n')));
    QVERIFY2(lines.filter("<6>" + passed).size() == 1, qPrintable(lines.join('\n')));
    // stdout is no journal here: its lines stay as they are.
    QCOMPARE(linesOf(run, ports[0]), DownloadLines);
}

void TestStation::programsAtTheEndGetEachRecordAndTheTotals() {
    // What a plant's light tower or label printer is given: each board's record and result, then
    // the batch's totals; what the program writes is said on stderr, and its failure never
    // counts against a board.
    DeviceProcess devices(QStringList{"--count", "2", "--fault", "1:erase-fail"} + Quick, 5000, 2);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const QString got = path("got");
    QVERIFY(WriteFile(path("end program"),
                      "#!/bin/sh\n"
                      "{ printf '%s %s %s ' \"$1\" \"$TORVANE_RESULT\" "
                      "\"${TORVANE_PUBLISH_PASSWORD-none}\"; cat; } >> \"$2\"\n"
                      "echo \"seen $TORVANE_RESULT\"\n"
                      "exit 4\n"));
    QVERIFY(QFile::setPermissions(path("end program"), QFile::ReadOwner | QFile::ExeOwner));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TORVANE_PUBLISH_PASSWORD", "secret");
    const QString program = '"' + path("end program") + '"';
    const QStringList ports = devices.slavePaths();
    const CliRun run =
        runCli(QStringList{"download", "data", path("data.bin"), "--report", path("report.jsonl"),
                           "--on-board-end", program + " board \"" + got + '"', "--on-batch-end",
                           program + " batch \"" + got + '"'} +
                   portArguments(ports),
               env);

    QCOMPARE(run.exitCode, 10);
    QCOMPARE(rowOf(run, ports[0]).value(3), QStringLiteral("0"));
    QStringList lines = QString::fromUtf8(ReadFile(got)).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    // The batch after every board; the boards in the order they ended.
    QVERIFY2(lines.takeLast().startsWith("batch fail none {\"boards\":2,"), qPrintable(got));
    lines.sort();
    QStringList report = QString::fromUtf8(ReadFile(path("report.jsonl"))).split('\n');
    QCOMPARE(report.size(), 3);
    QVERIFY(lines.contains("board pass none " + report.filter("\"exitCode\":0").value(0)));
    QVERIFY(lines.contains("board fail none " + report.filter("\"exitCode\":7").value(0)));
    QVERIFY2(run.errors.count(": seen pass") == 1 && run.errors.count(": seen fail") == 2,
             qPrintable(run.errors));
    QVERIFY2(run.errors.contains(path("end program") + " for the batch failed (exit 4)"),
             qPrintable(run.errors));
}

void TestStation::uploadsLandInAFileEach() {
    // Each device starts with an image of its own.
    QList<QByteArray> images;
    for (int k = 0; k < 3; ++k) {
        images << TestImage(DataSize, 100 + k);
        QVERIFY(QDir().mkpath(path(QStringLiteral("store/%1").arg(k))));
        QVERIFY(WriteFile(path(QStringLiteral("store/%1/data.bin").arg(k)), images[k]));
    }
    DeviceProcess devices(
        QStringList{"--count", "3", "--store", path("store"), "--fault", "answer-every=25"} + Quick,
        5000, 3);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    QVERIFY(QDir().mkpath(path("out")));
    const QStringList ports = devices.slavePaths();

    const CliRun run = runCli(QStringList{"upload", "data", path("out/back-{port}.bin"), "--report",
                                          path("report.jsonl")} +
                              portArguments(ports));

    QVERIFY2(run.exitCode == 0, qPrintable(run.lines.join('\n') + run.errors));
    QCOMPARE(QDir(path("out")).entryList(QDir::Files | QDir::Hidden).size(), 3);
    const QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 3);
    for (int k = 0; k < 3; ++k) {
        // "/dev/pts/7" is saved as back-pts_7.bin.
        const QString name = ports[k].mid(QStringLiteral("/dev/").size()).replace('/', '_');
        QCOMPARE(ReadFile(path(QStringLiteral("out/back-%1.bin").arg(name))), images[k]);
        QCOMPARE(linesOf(run, ports[k]), UploadLines);
        for (const QJsonObject &record : report) {
            if (record["port"].toString() == ports[k])
                QCOMPARE(record["sha256"].toString(), sha256(images[k]));
        }
    }
}

void TestStation::uploadsBehindAdaptersAllSucceed() {
    // A late second request would start the device's upload again.
    DeviceProcess devices(behindAdapters(16), 5000, 16);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    const QStringList ports = devices.slavePaths();

    const CliRun run = runCli(QStringList{"upload", "default", path("back-{port}.bin"), "--report",
                                          path("report.jsonl")} +
                              portArguments(ports));

    QVERIFY2(run.exitCode == 0, qPrintable(run.lines.join('\n') + run.errors));
    const QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 16);
    for (const QJsonObject &record : report) {
        QCOMPARE(record["exitCode"].toInt(), 0);
        QCOMPARE(record["connectRequests"].toInt(), 1);
    }
}

void TestStation::killedInThePauseAfterAnUploadKeepsItsRecord() {
    // The upload's file is saved when "Update Success!" is shown, and its record is written
    // then, not after the 2 s pause that follows: a kill in the pause leaves both. Beside it, a
    // port that is not there ends at once, with no data phase and so no rate.
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const QString report = path("report.jsonl");
    QProcess cli;
    cli.start(cliPath(), {"upload", "default", path("back-{port}.bin"), "--port",
                          device.slavePath(), "--port", path("absent"), "--report", report});
    QByteArray seen;
    QVERIFY(waitFor(cli, seen,
                    (device.slavePath() + ": " + StatusText(S::UpdateSuccess) + '\n').toLocal8Bit(),
                    20000));
    ::kill(pid_t(cli.processId()), SIGKILL);
    cli.waitForFinished();
    // The kill left the port's lock file behind, as a kill must; the next opener would take it
    // for stale, but the test leaves the machine as it found it.
    QFile::remove(LockFilePathOf(device.slavePath()));

    const QList<QJsonObject> kept = records(report);
    QCOMPARE(kept.size(), 2);
    for (const QJsonObject &record : kept) {
        const bool uploaded = record["port"].toString() == device.slavePath();
        QCOMPARE(record["exitCode"].toInt(), uploaded ? 0 : 3);
        QCOMPARE(record["blocksPerSecond"].isDouble(), uploaded);
        QVERIFY(uploaded ? record["blocksPerSecond"].toDouble() > 0
                         : record["blocksPerSecond"].isNull());
        if (uploaded)
            QCOMPARE(record["result"].toString(), StatusText(S::UpdateSuccess));
    }
}

void TestStation::interruptLeavesNoFile() {
    // Paced, each upload takes a few seconds: Ctrl-C comes in the middle of every one.
    DeviceProcess devices(QStringList{"--count", "3", "--pace", "460800"} + Quick, 5000, 3);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    QVERIFY(QDir().mkpath(path("out")));
    const QStringList ports = devices.slavePaths();
    QProcess cli;
    cli.start(cliPath(),
              QStringList{"upload", "data", path("out/{port}.bin")} + portArguments(ports));
    QByteArray seen;
    for (const QString &port : ports)
        QVERIFY(waitFor(cli, seen, (port + ": " + StatusText(S::Transfer) + '\n').toLocal8Bit(),
                        20000));
    ::kill(pid_t(cli.processId()), SIGINT);
    const CliRun run = finish(cli, 20000);

    QCOMPARE(run.exitCode, 130);
    QVERIFY2(run.lines.last().endsWith("interrupted (exit 130)"), qPrintable(run.lines.last()));
    for (const QString &port : ports) {
        QCOMPARE(rowOf(run, port).value(2), QStringLiteral("stopped"));
        QCOMPARE(rowOf(run, port).value(3), QStringLiteral("130"));
    }
    // Nothing written, not even a temporary file beside a target.
    QCOMPARE(QDir(path("out")).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList());
}

void TestStation::retriesCureAFaultTakenAway() {
    // Board 1 fails its erase. While its first attempt runs, its fault is taken away through the
    // emulator's control pipe, which holds it back until that operation has ended: the board's
    // second attempt passes. A port that is not there is refused, and not tried again.
    const QString links = path("links");
    DeviceProcess devices(QStringList{"--count", "2", "--link-dir", links, "--pace", "921600",
                                      "--fault", "1:erase-fail"} +
                              Quick,
                          5000, 2);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("default.bin"), TestImage(131072, 0x5eed)));
    const QStringList ports{links + "/tty0", links + "/tty1", path("absent")};
    QProcess cli;
    cli.start(cliPath(), QStringList{"download", "default", path("default.bin"), "--retries", "2",
                                     "--report", path("report.jsonl")} +
                             portArguments(ports));
    QByteArray seen;
    QVERIFY(waitFor(cli, seen, (ports[1] + ": " + StatusText(S::Transfer) + '\n').toLocal8Bit(),
                    20000));
    QFile control(links + "/control");
    QVERIFY(control.open(QIODevice::WriteOnly) && control.write("fault 1 none\n") > 0);
    control.close();
    const CliRun run = finish(cli);

    QCOMPARE(run.exitCode, 10);
    QVERIFY2(run.errors.contains(ports[1] + ": attempt 2 of 3"), qPrintable(run.errors));
    // Each board once in the table, with its last attempt's result.
    QCOMPARE(rowOf(run, ports[0]).value(3), QStringLiteral("0"));
    QCOMPARE(rowOf(run, ports[1]).value(3), QStringLiteral("0"));
    QCOMPARE(rowOf(run, ports[2]).value(3), QStringLiteral("3"));
    QVERIFY2(run.resultLine().contains("2 of 3 devices succeeded"), qPrintable(run.resultLine()));
    // A record for each attempt; each failure says its cause.
    QStringList attempts;
    for (const QJsonObject &record : records(path("report.jsonl"))) {
        QVERIFY(record["exitCode"].toInt() == 0 || !record["cause"].toString().isEmpty());
        attempts << QStringLiteral("%1 #%2: %3 %4")
                        .arg(record["port"].toString().section('/', -1))
                        .arg(record["attempt"].toInt())
                        .arg(record["exitCode"].toInt())
                        .arg(record["result"].toString());
    }
    attempts.sort();
    QCOMPARE(attempts, QStringList({"absent #1: 3 port cannot be opened",
                                    "tty0 #1: 0 " + StatusText(S::UpdateSuccess),
                                    "tty1 #1: 7 " + StatusText(S::EraseFlashFailed),
                                    "tty1 #2: 0 " + StatusText(S::UpdateSuccess)}));
}

void TestStation::recipeRunsAndItsLotCountsAcrossRuns() {
    // A line's recipe run twice, as after a restart: the lot's counts go on from where they were,
    // and each record names the lot.
    DeviceProcess devices(QStringList{"--count", "2"} + Quick, 5000, 2);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const QStringList ports = devices.slavePaths();
    const QByteArray recipe = "# line 3, board rev B\n"
                              "download data \"" +
                              path("data.bin").toLocal8Bit() +
                              "\"\n"
                              "--port " +
                              ports[0].toLocal8Bit() +
                              "   # slot 1\n"
                              "--port " +
                              ports[1].toLocal8Bit() +
                              "\n"
                              "--report " +
                              path("report.jsonl").toLocal8Bit() +
                              "\n"
                              "--lot \"week 50\"\n";
    QVERIFY(WriteFile(path("line3.recipe"), recipe));

    for (const char *counted : {"2 passed", "4 passed"}) {
        const CliRun run = runCli({"--recipe", path("line3.recipe")});
        QVERIFY2(run.exitCode == 0, qPrintable(run.lines.join('\n') + run.errors));
        QVERIFY2(run.lines.contains(QStringLiteral("torvane-cli: lot week 50: %1, 0 failed, 0 "
                                                   "stopped; yield 100.0 %")
                                        .arg(QLatin1String(counted))),
                 qPrintable(run.lines.join('\n')));
    }
    const QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 4);
    for (const QJsonObject &record : report)
        QCOMPARE(record["lot"].toString(), QStringLiteral("week 50"));
}

void TestStation::watchServesEachBoardOnceWhileItStays() {
    const QString links = path("links");
    DeviceProcess devices(QStringList{"--count", "1", "--link-dir", links} + Quick, 5000, 1);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const QString report = path("report.jsonl");
    QProcess cli;
    // The pattern also matches the emulator's control pipe, which is no port.
    cli.start(cliPath(), {"download", "data", path("data.bin"), "--port", links + "/*", "--watch",
                          "--report", report});

    QVERIFY(waitForRecords(report, 1, 30000));
    // The board stays on for a few of the watch's looks: it is not served again.
    QTest::qWait(1500);
    QCOMPARE(records(report).size(), 1);

    const auto control = [&links](const QByteArray &command) {
        QFile pipe(links + "/control");
        return pipe.open(QIODevice::WriteOnly) && pipe.write(command + '\n') > 0;
    };
    QByteArray errors;
    QVERIFY(control("unplug 0"));
    QVERIFY(waitFor(cli, errors, "tty0: board removed", 20000, QProcess::StandardError));
    QVERIFY(control("plug 0"));
    QVERIFY(waitForRecords(report, 2, 30000));

    ::kill(pid_t(cli.processId()), SIGINT);
    const CliRun run = finish(cli, 20000);
    QVERIFY2(run.exitCode == 0, qPrintable(run.errors + run.lines.join('\n')));
    QVERIFY2(
        run.lines.join('\n').contains("watch ended: 2 boards: 2 succeeded, 0 failed, 0 stopped"),
        qPrintable(run.lines.join('\n')));
    const QList<QJsonObject> served = records(report);
    QCOMPARE(served.size(), 2);
    for (const QJsonObject &record : served) {
        QCOMPARE(record["port"].toString(), links + "/tty0");
        QCOMPARE(record["exitCode"].toInt(), 0);
    }
}

void TestStation::watchServesABoardOnceUnderTwoNames() {
    // The board's device node is found first, a link to it a moment later (as a by-id link
    // comes after its /dev/ttyUSB node): it is the board already served, not a new one.
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const QString links = path("by-id");
    QVERIFY(QDir().mkpath(links));
    const QString report = path("report.jsonl");
    QProcess cli;
    cli.start(cliPath(), {"download", "data", path("data.bin"), "--port", links + "/*", "--port",
                          device.slavePath(), "--watch", "--report", report});
    QVERIFY(waitForRecords(report, 1, 30000));
    QVERIFY(QFile::link(device.slavePath(), links + "/board"));
    QByteArray errors;
    QVERIFY(waitFor(cli, errors, "board: the board served on " + device.slavePath().toLocal8Bit(),
                    20000, QProcess::StandardError));
    ::kill(pid_t(cli.processId()), SIGINT);
    const CliRun run = finish(cli, 20000);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(records(report).size(), 1);
}

// The service manager's end of the notify protocol: a datagram socket the test binds, whose
// messages it keeps as they come.
class NotifySocket {
public:
    explicit NotifySocket(const QString &path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        bound_ = fd_ >= 0 &&
                 ::bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { ::close(fd_); }
    bool bound() const { return bound_; }
    // Every message so far, one a string.
    const QStringList &messages() {
        char buffer[4096];
        for (ssize_t size; (size = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
            messages_ << QString::fromUtf8(buffer, int(size));
        return messages_;
    }
    bool waitFor(const QString &line, int timeoutMs) {
        QElapsedTimer timer;
        timer.start();
        while (!messages().join('\n').split('\n').contains(line)) {
            if (timer.elapsed() > timeoutMs)
                return false;
            QTest::qWait(20);
        }
        return true;
    }

private:
    QString path_;
    int fd_ = -1;
    bool bound_ = false;
    QStringList messages_;
};

void TestStation::aWatchToldToFinishEndsItsBoardAndTakesNoNew() {
    // As a service restarted for an upgrade: SIGUSR1 while a board is in its longest step. The
    // board goes on to its end, one plugged in meanwhile is not served, and the watch ends by
    // itself, having told the service manager it was ready, alive and then stopping.
    const QString links = path("links");
    DeviceProcess devices(QStringList{"--count", "2", "--link-dir", links, "--erase-time", "0",
                                      "--program-time", "2000"},
                          5000, 2);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    const auto control = [&links](const QByteArray &command) {
        QFile pipe(links + "/control");
        return pipe.open(QIODevice::WriteOnly) && pipe.write(command + '\n') > 0;
    };
    QVERIFY(control("unplug 1"));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    NotifySocket manager(path("notify"));
    QVERIFY(manager.bound());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NOTIFY_SOCKET", path("notify"));
    env.insert("WATCHDOG_USEC", "200000");
    const QString report = path("report.jsonl");
    QProcess cli;
    startCli(cli,
             {"download", "data", path("data.bin"), "--port", links + "/tty*", "--watch",
              "--report", report},
             env);
    QVERIFY(manager.waitFor("READY=1", 20000));
    QByteArray out;
    QVERIFY(waitFor(cli, out, "tty0: " + StatusText(S::ProgramFlash).toLocal8Bit(), 30000));
    ::kill(pid_t(cli.processId()), SIGUSR1);
    QVERIFY(control("plug 1"));
    QElapsedTimer timer;
    timer.start();
    // The manager reads as it goes, as systemd does.
    while (!cli.waitForFinished(50) && timer.elapsed() < 20000)
        manager.messages();
    QCOMPARE(cli.state(), QProcess::NotRunning);
    const CliRun run = finish(cli);
    QVERIFY2(run.exitCode == 0, qPrintable(run.errors + out));
    const QList<QJsonObject> served = records(report);
    QCOMPARE(served.size(), 1);
    QCOMPARE(served.first()["port"].toString(), links + "/tty0");
    QCOMPARE(served.first()["result"].toString(), StatusText(S::UpdateSuccess));
    QVERIFY2(run.errors.contains("finishing: 1 board running; no new board is taken"),
             qPrintable(run.errors));
    const QStringList said = manager.messages().join('\n').split('\n');
    QVERIFY2(said.contains("WATCHDOG=1") && said.contains("STOPPING=1"),
             qPrintable(said.join(' ')));
}

void TestStation::aWatchedBoardNotServedIsRecordedAndCounted() {
    // The board a watch finds is not served, for its upload file would be the report: it ends
    // failed as any board does, with its record (what it was to move, in which lot), in the
    // totals.
    const QString links = path("links");
    DeviceProcess devices(QStringList{"--count", "1", "--link-dir", links} + Quick, 5000, 1);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    const QString pattern = path("back-{port}.bin");
    const QString report = UploadFileFor(pattern, links + "/tty0");
    QProcess cli;
    cli.start(cliPath(), {"upload", "data", pattern, "--port", links + "/tty*", "--watch",
                          "--report", report, "--lot", "week-50"});
    QVERIFY(waitForRecords(report, 1, 30000));
    ::kill(pid_t(cli.processId()), SIGINT);
    const CliRun run = finish(cli, 20000);
    QVERIFY2(run.exitCode == 10, qPrintable(run.errors + run.lines.join('\n')));
    QVERIFY2(
        run.lines.join('\n').contains("watch ended: 1 board: 0 succeeded, 1 failed, 0 stopped"),
        qPrintable(run.lines.join('\n')));
    const QList<QJsonObject> served = records(report);
    QCOMPARE(served.size(), 1);
    QCOMPARE(served.first()["exitCode"].toInt(), 2);
    QVERIFY(served.first()["cause"].toString().contains("is the upload file"));
    QCOMPARE(served.first()["kind"].toString(), QStringLiteral("data"));
    QCOMPARE(served.first()["lot"].toString(), QStringLiteral("week-50"));
}

void TestStation::aWatchRefusesABoardWhoseUploadFileIsAnothers() {
    // Two ports whose names make one upload file (a/b and a_b): a board found on the second
    // while the first's board runs is refused before its transfer, in the words that refuse the
    // two ports together without a watch; so is one found there after the first saved its file.
    DeviceProcess devices(QStringList{"--count", "3"} + Quick, 5000, 3);
    QVERIFY2(devices.slavePaths().size() == 3, qPrintable(devices.errorString()));
    QVERIFY(QDir().mkpath(path("a")));
    QVERIFY(QFile::link(devices.slavePaths()[0], path("a/b")));
    StationPlan plan;
    plan.steps = {{StepCommand::Upload, TransferMode::UploadData, path("w-{port}.bin"), {}}};
    plan.ports = QStringList{path("a_*"), path("a/*")};
    plan.watch = true;
    const StopFlag stop{0};
    StationRun run(plan, &stop);
    QVERIFY(!run.open());
    StationWatch watch(run, {});
    const auto served = [&watch] {
        std::vector<std::pair<FoundPort, BoardJob>> jobs;
        for (int look = 0; look < 3 && jobs.empty(); ++look)
            jobs = watch.look().jobs;
        return jobs;
    };
    const auto first = served();
    QCOMPARE(first.size(), size_t(1));
    const BoardJob &saver = first.front().second;
    QCOMPARE(saver.portName, path("a/b"));
    QCOMPARE(saver.refused, QString());
    const QString file = UploadFileFor(plan.steps[0].file, path("a_b"));
    QCOMPARE(saver.steps.front().step.file, file);
    const QString clash = path("a/b") + " and " + path("a_b") + " would both save to " + file;

    QVERIFY(QFile::link(devices.slavePaths()[1], path("a_b")));
    const auto second = served();
    QCOMPARE(second.size(), size_t(1));
    QCOMPARE(second.front().second.refused, clash);
    watch.ended(path("a_b"), "file refused");

    ErrorLines output;
    const BoardOutcome outcome = RunBoard(saver, output, [](BoardOutcome &) {});
    QVERIFY2(outcome.code == ExitCode::Success, qPrintable(output.errors.join('\n')));
    QCOMPARE(ReadFile(file).size(), DataSize);
    watch.ended(path("a/b"), "Update Success!");
    QVERIFY(QFile::remove(path("a_b")));
    QVERIFY(QFile::link(devices.slavePaths()[2], path("a_b")));
    const auto third = served();
    QCOMPARE(third.size(), size_t(1));
    QCOMPARE(third.front().second.refused, clash);
}

void TestStation::aWatchedLinkTurnedToATerminalLeavesItAlone() {
    // A COM number is pointed at a link to a board; the watch finds the board, and the link is
    // turned to a terminal someone uses before the board's port opens. The board's own device is
    // opened and served; the terminal gets no byte and keeps its settings.
    DeviceProcess board(Quick);
    QVERIFY2(!board.slavePath().isEmpty(), qPrintable(board.errorString()));
    SessionTerminal terminal;
    QVERIFY(terminal.started());
    const QString link = path("board");
    QVERIFY(QFile::link(board.slavePath(), link));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));

    StationPlan plan;
    plan.steps = {{StepCommand::Download, TransferMode::DownloadData, path("data.bin"), {}}};
    plan.ports = QStringList{"COM.*"};
    plan.watch = true;
    const StopFlag stop{0};
    StationRun run(plan, &stop);
    QVERIFY(!run.open());
    StationWatch watch(run, [&] { return PointedComPorts({{8, link}}); });
    std::vector<std::pair<FoundPort, BoardJob>> jobs;
    for (int look = 0; look < 3 && jobs.empty(); ++look)
        jobs = watch.look().jobs;
    QCOMPARE(jobs.size(), size_t(1));

    termios before{};
    QCOMPARE(::tcgetattr(terminal.masterFd(), &before), 0);
    QVERIFY(QFile::remove(link));
    QVERIFY(QFile::link(terminal.slavePath(), link));
    ErrorLines output;
    const BoardOutcome outcome = RunBoard(jobs.front().second, output, [](BoardOutcome &) {});
    QVERIFY2(outcome.code == ExitCode::Success, qPrintable(output.errors.join('\n')));
    QCOMPARE(outcome.record.device, board.slavePath());
    QCOMPARE(terminal.drain(), QByteArray());
    termios after{};
    QCOMPARE(::tcgetattr(terminal.masterFd(), &after), 0);
    QCOMPARE(::memcmp(&before, &after, sizeof before), 0);
}

void TestStation::aWatchWaitsForAHolderToLetGo() {
    // A program has the board's port open when the watch finds it (a modem manager's probe of a
    // board just plugged in): the watch says so once, waits for it to let go, then serves it.
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    QProcess probe; // holds the port until it reads a line
    probe.start("sh", {"-c", "exec 3<>\"$0\"; read line", device.slavePath()});
    QVERIFY(probe.waitForStarted());
    const QString report = path("report.jsonl");
    QProcess cli;
    cli.start(cliPath(), {"download", "data", path("data.bin"), "--port", device.slavePath(),
                          "--watch", "--report", report});
    QByteArray said;
    QVERIFY(waitFor(cli, said, "waiting up to 10 s for it to be let go", 20000,
                    QProcess::StandardError));
    probe.write("\n");
    QVERIFY(waitForRecords(report, 1, 30000));
    ::kill(pid_t(cli.processId()), SIGINT);
    const CliRun run = finish(cli, 20000);
    QCOMPARE(records(report).first()["exitCode"].toInt(), 0);
    QCOMPARE(int((said + run.errors.toLocal8Bit()).count("waiting up to 10 s")), 1);
}

void TestStation::liveViewHasALinePerPort() {
    // About two seconds of blocks, with stderr on a terminal of its own and stdout on a pipe.
    DeviceProcess devices(QStringList{"--count", "3", "--pace", "1500000"} + Quick, 5000, 3);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const QStringList ports = devices.slavePaths();
    PtyPair terminal;
    const QByteArray terminalPath = terminal.slavePath().toLocal8Bit();
    QProcess cli;
    cli.setChildProcessModifier([terminalPath] {
        const int fd = ::open(terminalPath.constData(), O_WRONLY | O_NOCTTY);
        ::dup2(fd, STDERR_FILENO);
    });
    QElapsedTimer timer;
    timer.start();
    cli.start(cliPath(), QStringList{"download", "data", path("data.bin")} + portArguments(ports));
    QByteArray drawn;
    while (cli.state() != QProcess::NotRunning && timer.elapsed() < 60000) {
        drawn += terminal.drain(std::chrono::milliseconds(20));
        cli.waitForFinished(10);
    }
    const double seconds = timer.elapsed() / 1000.0;
    drawn += terminal.drain();
    const CliRun run = finish(cli);
    QCOMPARE(run.exitCode, 0);

    // Each redraw goes back over the three lines; at most ten a second, and one as each ends.
    const int redraws = int(drawn.count("\033[3A"));
    QVERIFY2(redraws >= 3, drawn.constData());
    QVERIFY2(redraws <= seconds * 10 + 2 + ports.size(), qPrintable(QString::number(redraws)));
    QVERIFY(drawn.contains("Transfering Data:"));
    // The last drawing stays: a line per port with its result.
    QStringList last = QString::fromLocal8Bit(drawn.mid(drawn.lastIndexOf("\r\033[J") + 4))
                           .remove('\r')
                           .split('\n', Qt::SkipEmptyParts);
    QCOMPARE(last.size(), ports.size());
    for (int k = 0; k < ports.size(); ++k)
        QVERIFY2(last[k].startsWith(ports[k]) &&
                     last[k].contains(StatusText(S::UpdateSuccess) + "  ") &&
                     last[k].endsWith("(exit 0)"),
                 qPrintable(last[k]));
    // stdout is no terminal: it keeps every port's lines, and the summary.
    for (const QString &port : ports)
        QCOMPARE(linesOf(run, port), DownloadLines);
    QCOMPARE(rowOf(run, ports[0]).value(3), QStringLiteral("0"));
}

void TestStation::stoppedTerminalHoldsUpNoBoard() {
    // The operator's Ctrl-S stops the terminal the view is drawn on: the view waits, the boards
    // go on to the end. What waits for the terminal stays bounded: the trace of eight boards is
    // far more than the bound, and what is dropped of it is said once the terminal moves again.
    constexpr int Boards = 8;
    DeviceProcess devices(
        QStringList{"--count", QString::number(Boards), "--store", path("store")} + Quick, 5000,
        Boards);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    const QByteArray image = TestImage(DataSize, 0x5eed);
    QVERIFY(WriteFile(path("data.bin"), image));
    PtyPair terminal;
    const QByteArray terminalPath = terminal.slavePath().toLocal8Bit();
    const int stopper = ::open(terminalPath.constData(), O_RDWR | O_NOCTTY);
    QVERIFY(stopper >= 0);
    QVERIFY(::tcflow(stopper, TCOOFF) == 0);
    QProcess cli;
    cli.setChildProcessModifier([terminalPath] {
        const int fd = ::open(terminalPath.constData(), O_WRONLY | O_NOCTTY);
        ::dup2(fd, STDERR_FILENO);
    });
    cli.start(cliPath(), QStringList{"download", "data", path("data.bin"), "--trace"} +
                             portArguments(devices.slavePaths()));
    for (int k = 0; k < Boards; ++k)
        QTRY_COMPARE_WITH_TIMEOUT(ReadFile(path(QStringLiteral("store/%1/data.bin").arg(k))), image,
                                  30000);
    // For the log: the peak memory of the station while its terminal took nothing.
    QFile status(QStringLiteral("/proc/%1/status").arg(cli.processId()));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM"))
                qInfo("%s", line.simplified().constData());
        }
    }
    ::tcflow(stopper, TCOON);
    ::close(stopper);
    QByteArray shown;
    while (cli.state() != QProcess::NotRunning) {
        shown += terminal.drain(std::chrono::milliseconds(20));
        cli.waitForFinished(10);
    }
    shown += terminal.drain();
    QCOMPARE(finish(cli).exitCode, 0);
    QVERIFY2(shown.contains("trace lines dropped while the terminal took no output"),
             shown.right(2000).constData());
}

void TestStation::boardsPastTheDescriptorLimitWaitTheirTurn() {
    // Each board's thread, port and lock take descriptors; a thread that found none aborted the
    // whole station. Under a low ulimit -n the boards past it wait their turn, say why, and are
    // each served.
    constexpr int Boards = 30;
    DeviceProcess devices(QStringList{"--count", QString::number(Boards)} + Quick, 5000, Boards);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("default.bin"), TestImage(131072, 0x5eed)));
    QProcess cli;
    cli.setChildProcessModifier([] {
        const rlimit descriptors{32, 32};
        ::setrlimit(RLIMIT_NOFILE, &descriptors);
    });
    cli.start(cliPath(), QStringList{"download", "default", path("default.bin"), "--report",
                                     path("report.jsonl")} +
                             portArguments(devices.slavePaths()));
    const CliRun run = finish(cli);

    QVERIFY2(run.exitCode == 0, qPrintable(run.errors + run.lines.join('\n')));
    QVERIFY2(run.resultLine().contains(QStringLiteral("on %1 devices").arg(Boards)),
             qPrintable(run.resultLine()));
    QVERIFY2(run.errors.contains("waiting its turn: the limit of 32 open files (ulimit -n) runs "
                                 "no more boards at once"),
             qPrintable(run.errors));
    const QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), Boards);
    for (const QJsonObject &record : report)
        QCOMPARE(record["exitCode"].toInt(), 0);
}

void TestStation::aLongStationRunsABoundedNumberAtOnce() {
    // However many ports are named, at most a bounded number of boards run at once, each on a
    // thread; the rest wait their turn, say so, and are each served and summed up.
    constexpr int Ports = MostBoardsAtOnce + 12;
    QVERIFY(WriteFile(path("default.bin"), TestImage(131072, 0x5eed)));
    QStringList absent;
    for (int i = 0; i < Ports; ++i)
        absent << QStringLiteral("/dev/torvane-absent-%1").arg(i);
    const CliRun run =
        runCli(QStringList{"download", "default", path("default.bin")} + portArguments(absent));
    QCOMPARE(run.exitCode, 10);
    QCOMPARE(int(run.errors.count("waiting its turn")), Ports - MostBoardsAtOnce);
    QCOMPARE(int(run.lines.filter(QRegularExpression("^/dev/torvane-absent-\\d+ .* 3 ")).size()),
             Ports);
}

void TestStation::fileSizeLimitFailsTheWrite_data() {
    QTest::addColumn<QString>("direction");
    QTest::addColumn<QString>("ending");
    // A board done whose record failed ends in the exit code's words; an image not saved, as
    // its record words it.
    QTest::newRow("the record of a download") << "download"
                                              << "file not saved (exit 9)";
    QTest::newRow("an upload's image, then its record") << "upload"
                                                        << "Set up File failed! (exit 9)";
}

void TestStation::fileSizeLimitFailsTheWrite() {
    // A limit on the size of the files the process writes (ulimit -f) refuses the write, and
    // the signal it raises is not left to kill the program: the image is not saved, the part of
    // the record the file took is taken back, so that the report stays whole lines, and the
    // board ends with exit 9, "file not saved".
    QFETCH(QString, direction);
    QFETCH(QString, ending);
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const QByteArray earlier = "{\"earlier\":true}\n";
    QVERIFY(WriteFile(path("report.jsonl"), earlier));
    const rlim_t limit = rlim_t(earlier.size() + 100);
    QProcess cli;
    cli.setChildProcessModifier([limit] {
        const rlimit size{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &size);
    });
    const QString file = direction == "upload" ? path("back.bin") : path("data.bin");
    cli.start(cliPath(), {direction, "data", file, "--port", device.slavePath(), "--report",
                          path("report.jsonl")});
    const CliRun run = finish(cli);
    QCOMPARE(run.exitCode, 9);
    QVERIFY2(run.resultLine().endsWith(ending), qPrintable(run.resultLine()));
    QVERIFY2(run.errors.contains("ulimit -f"), qPrintable(run.errors));
    // A board programmed is said to be, so that nobody takes it for one that failed.
    if (direction == "download")
        QVERIFY2(run.errors.contains("the board was programmed, but its record could not be "
                                     "written"),
                 qPrintable(run.errors));
    QCOMPARE(ReadFile(path("report.jsonl")), earlier);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
             QStringList({"data.bin", "report.jsonl"}));
}

void TestStation::usageErrors_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("complaint");
    QTest::newRow("one device under two names")
        << QStringList{"download", "data", "data.bin", "--port", "/dev/null", "--port", "null-link"}
        << 1 << "one device, one owner";
    QTest::newRow("uploads of several ports to one file")
        << QStringList{"upload", "data", "back.bin", "--port", "COM.01", "--port", "COM.02"} << 1
        << "{port}";
    QTest::newRow("a pattern without --watch")
        << QStringList{"download", "data", "data.bin", "--port", "/dev/ttyUSB*"} << 1 << "--watch";
    QTest::newRow("a report in a folder that is not there")
        << QStringList{"download", "data",   "data.bin", "--port",           "/dev/null",
                       "--port",   "COM.01", "--report", "gone/report.jsonl"}
        << 2 << "report file";
    QTest::newRow("the download file as the report")
        << QStringList{"download", "data",   "data.bin", "--port",  "/dev/null",
                       "--port",   "COM.01", "--report", "data.bin"}
        << 2 << "is the download file";
    QTest::newRow("the upload file as the report")
        << QStringList{"upload",    "data",     "back.bin", "--port",
                       "/dev/null", "--report", "back.bin", "--overwrite"}
        << 2 << "is the upload file";
    QTest::newRow("the upload file of one of several ports as the report")
        << QStringList{"upload", "data",      "back-{port}.bin", "--port",       "COM.01",
                       "--port", "/dev/null", "--report",        "back-null.bin"}
        << 2 << "is the upload file";
    QTest::newRow("a watch with a missing download file and a report")
        << QStringList{"download",  "data",    "missing.bin", "--port",
                       "/dev/tty*", "--watch", "--report",    "report.jsonl"}
        << 75 << "image not there (exit 75)";
    QTest::newRow("a name too long for its folder")
        << QStringList{"upload", "data", QString(300, 'a') + ".bin", "--port", "/dev/null"} << 2
        << "too long";
    QTest::newRow("a line break in a port's name")
        << QStringList{"download", "data", "data.bin", "--port", "/dev/null\n", "--port", "COM.01"}
        << 1 << "holds a line break";
    QTest::newRow("a port's name no path can have")
        << QStringList{"download", "data", "data.bin", "--port", "/dev/" + QString(5000, 'a')} << 1
        << "longer than any path";
    QTest::newRow("an image other than the one expected")
        << QStringList{"download",      "data",   "data.bin", "--port",
                       "/dev/null",     "--port", "COM.01",   "--report",
                       "report.jsonl",  "--lot",  "week 51",  "--expect-sha256",
                       QString(64, '0')}
        << 2
        << "data.bin is not the image expected: its SHA-256 is " +
               sha256(TestImage(DataSize, 0x5eed)) + ", --expect-sha256 says " + QString(64, '0');
    QTest::newRow("an expected SHA-256 that is none")
        << QStringList{"download",        "data", "data.bin", "--port", "/dev/null",
                       "--expect-sha256", "12ab"}
        << 1 << "64 hexadecimal digits";
    // The last one would win without a word, and the image be checked against it alone.
    QTest::newRow("an expected SHA-256 given twice")
        << QStringList{"download",       "data",
                       "data.bin",       "--port",
                       "/dev/null",      "--expect-sha256",
                       QString(64, 'a'), "--expect-sha256",
                       QString(64, 'b')}
        << 1 << "--expect-sha256 is given twice";
    QTest::newRow("a program at a board's end that is not there")
        << QStringList{"download",  "data",           "data.bin",           "--port",
                       "/dev/null", "--on-board-end", "no-such-tower --red"}
        << 1 << "--on-board-end no-such-tower --red: no-such-tower is no program";
    QTest::newRow("an expected SHA-256 for an upload")
        << QStringList{"upload",          "data",          "back.bin", "--port", "/dev/null",
                       "--expect-sha256", QString(64, 'a')}
        << 1 << "downloads and read-backs only";
    // A job's every file is checked before any board starts; a refusal names its step.
    // Not there (yet), as a download image may be: a service tries again.
    QTest::newRow("a job whose read-back file is not there")
        << QStringList{"download", "data",   "data.bin",  "--then",   "verify",      "data",
                       "gone.bin", "--port", "/dev/null", "--report", "report.jsonl"}
        << 75 << "step 2 (Verify Data): ";
    QTest::newRow("a job whose read-back file is not the one expected")
        << QStringList{"download", "data", "data.bin", "--port",          "/dev/null",     "--then",
                       "verify",   "data", "data.bin", "--expect-sha256", QString(64, '0')}
        << 2 << "is not the image expected: its SHA-256 is " + sha256(TestImage(DataSize, 0x5eed));
    QTest::newRow("a read-back of the wrong size")
        << QStringList{"verify", "default", "data.bin", "--port", "/dev/null"} << 2
        << "File wrong!";
    QTest::newRow("a read-back of a loader")
        << QStringList{"verify", "loader", "data.bin", "--port", "/dev/null"} << 1
        << "verify loader: no upload mode reads a device's loader back";
    QTest::newRow("--then with no step after it")
        << QStringList{"download", "data", "data.bin", "--port", "/dev/null", "--then"} << 1
        << "--then needs a step after it";
    QTest::newRow("a step's own option twice")
        << QStringList{"verify",         "data",   "data.bin",  "--expect-sha256",
                       QString(64, '0'), "--port", "/dev/null", "--expect-sha256",
                       QString(64, '1')}
        << 1 << "--expect-sha256 is given twice for step 1";
    QTest::newRow("too many retries")
        << QStringList{"download", "data", "data.bin", "--port", "/dev/null", "--retries", "11"}
        << 1 << "--retries takes a number from 0 to 10";
    QTest::newRow("a lot without a name")
        << QStringList{"download", "data", "data.bin", "--port", "/dev/null", "--lot="} << 1
        << "--lot needs a value";
    QTest::newRow("a set-up option beside a recipe")
        << QStringList{"--recipe", "line.recipe", "--port", "COM.01"} << 1
        << "--port beside --recipe";
    QTest::newRow("a recipe that is not there") << QStringList{"--recipe", "line.recipe"} << 1
                                                << "line.recipe cannot be read (No such file";
    // Publishing is checked before anything is made, its outbox included.
    QTest::newRow("a broker's password file that is not there")
        << QStringList{"download",   "data",      "data.bin",     "--port",
                       "/dev/null",  "--publish", "mqtt://u@h/t", "--publish-password-file",
                       "gone.jsonl", "--outbox",  "outbox"}
        << 2 << "cannot read the password file";
    QTest::newRow("an authority for a broker without TLS")
        << QStringList{"download",  "data",       "data.bin",     "--port",  "/dev/null",
                       "--publish", "mqtt://h/t", "--publish-ca", "ca.jsonl"}
        << 1 << "mqtts:// broker only";
    QTest::newRow("an unquoted pattern, given out by the shell")
        << QStringList{"download", "data", "data.bin", "--port", "/dev/null", "/dev/zero"} << 1
        << "quote a pattern";
}

void TestStation::usageErrors() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, complaint);
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    QVERIFY(QFile::link("/dev/null", path("null-link")));
    for (QString &argument : arguments) {
        if (argument.endsWith(".bin") || argument.endsWith(".jsonl") ||
            argument.endsWith(".recipe") || argument == "null-link" || argument == "outbox")
            argument = path(argument);
    }
    const CliRun run = runCli(arguments);
    QCOMPARE(run.exitCode, exitCode);
    const QString said = run.errors + run.lines.join('\n');
    QVERIFY2(said.contains(complaint), qPrintable(said));
    // A refused run makes nothing, not even an empty report.
    QCOMPARE(QDir(dir->path())
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList({"data.bin", "null-link"}));
    // Nor a lot's counts.
    QVERIFY(!QFileInfo::exists(stateHome.filePath("torvane/lots/week%2051.json")));
}

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
