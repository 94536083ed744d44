// torvane-cli publishing its records to a real Mosquitto broker (TLS, passwords) that the test
// starts, stops and mends: each record arrives as the report has it, with its id and the
// station's name; records wait in the outbox while the broker is away or refuses the station,
// and none is lost.
#include "cli_run.h"
#include "harness/broker.h"
#include "support/device_process.h"
#include "support/images.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

using namespace cli_test;

constexpr int DataSize = 262144;
constexpr int ArriveMs = 60000;

QList<QJsonObject> reportRecords(const QString &path) {
    QList<QJsonObject> objects;
    for (const QByteArray &line : ReadFile(path).split('\n')) {
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    }
    return objects;
}

// The records waiting in an outbox.
QStringList waiting(const QString &outbox) {
    return QDir(outbox).entryList({"*.json"}, QDir::Files);
}

QProcessEnvironment withPassword(const QString &password) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TORVANE_PUBLISH_PASSWORD", password);
    return env;
}

} // namespace

class TestPublish : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void recordsArriveAsTheReportHasThem();
    void refusedRecordsWaitForTheMend_data();
    void refusedRecordsWaitForTheMend();
    void brokerAwayDuringAWatch();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    QStringList download(const QStringList &ports) const {
        QStringList arguments{"download", "data", path("data.bin"), "--report",
                              path("report.jsonl")};
        for (const QString &port : ports)
            arguments << "--port" << port;
        return arguments;
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<TestBroker> broker;
    std::unique_ptr<TestSubscriber> subscriber;
    QTemporaryDir stateHome;
};

void TestPublish::initTestCase() {
    QVERIFY(stateHome.isValid());
    // An outbox left to its default lands here, never in the user's folder.
    qputenv("XDG_STATE_HOME", QFile::encodeName(stateHome.path()));
}

void TestPublish::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    subscriber.reset();
    broker = std::make_unique<TestBroker>();
    const QString started = broker->start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    subscriber = std::make_unique<TestSubscriber>(*broker);
    const QString subscribed = subscriber->start();
    QVERIFY2(subscribed.isEmpty(), qPrintable(subscribed));
}

void TestPublish::recordsArriveAsTheReportHasThem() {
    DeviceProcess devices(QStringList{"--count", "3", "--fault", "1:erase-fail"} + Quick, 5000, 3);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));

    const CliRun run =
        runCli(download(devices.slavePaths()) +
               QStringList{"--publish", broker->url(true), "--publish-ca", broker->caFile(),
                           "--publish-password-file", broker->passwordFile(TestBroker::Password),
                           "--station", "line 1, station 4"});

    // A board that failed has its record published as well; the exit code is the boards'.
    QVERIFY2(run.exitCode == 10, qPrintable(run.errors));
    QVERIFY(subscriber->waitFor(3, ArriveMs));
    QList<QJsonObject> report = reportRecords(path("report.jsonl"));
    QCOMPARE(report.size(), 3);
    for (QJsonObject published : subscriber->records()) {
        QVERIFY(!QUuid::fromString(published.take("id").toString()).isNull());
        QCOMPARE(published.take("station").toString(), QStringLiteral("line 1, station 4"));
        // The same JSON as the report's line.
        QVERIFY2(report.removeOne(published), QJsonDocument(published).toJson());
    }
    // Every record taken by the broker has left the outbox, which the run waited for.
    QStringList outboxes =
        QDir(stateHome.filePath("torvane/outbox")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(outboxes.size(), 1);
    QCOMPARE(waiting(stateHome.filePath("torvane/outbox/" + outboxes[0])), QStringList());
}

void TestPublish::refusedRecordsWaitForTheMend_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<QString>("said");
    QTest::newRow("a wrong password") << "not-the-password"
                                      << "localhost" << true << "refused the user name or password";
    QTest::newRow("a certificate from an authority not trusted")
        << TestBroker::Password << "localhost" << false << "refused in the TLS handshake";
    // The certificate names localhost only.
    QTest::newRow("a certificate for another host")
        << TestBroker::Password << "127.0.0.1" << true << "refused in the TLS handshake";
}

void TestPublish::refusedRecordsWaitForTheMend() {
    QFETCH(QString, password);
    QFETCH(QString, host);
    QFETCH(bool, trusted);
    QFETCH(QString, said);
    DeviceProcess devices(QStringList{"--count", "2"} + Quick, 5000, 2);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    const QString outbox = path("outbox");

    const CliRun refused = runCli(
        download(devices.slavePaths()) +
            QStringList{"--publish", broker->url(true, host), "--publish-ca",
                        trusted ? broker->caFile() : broker->otherCaFile(), "--outbox", outbox},
        withPassword(password));

    // The boards are flashed as ever; the records wait, and stderr says why once.
    QVERIFY2(refused.exitCode == 0, qPrintable(refused.errors));
    QCOMPARE(refused.errors.count(said), 1);
    QCOMPARE(waiting(outbox).size(), 2);
    QCOMPARE(subscriber->records().size(), 0);

    const CliRun mended = runCli(download(devices.slavePaths()) +
                                     QStringList{"--publish", broker->url(true), "--publish-ca",
                                                 broker->caFile(), "--outbox", outbox},
                                 withPassword(TestBroker::Password));

    QVERIFY2(mended.exitCode == 0, qPrintable(mended.errors));
    QVERIFY(subscriber->waitFor(4, ArriveMs));
    QCOMPARE(waiting(outbox), QStringList());
}

void TestPublish::brokerAwayDuringAWatch() {
    const QString links = path("links");
    DeviceProcess devices(QStringList{"--count", "3", "--link-dir", links} + Quick, 5000, 3);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    const QString outbox = path("outbox");
    QProcess cli;
    startCli(cli,
             download({links + "/tty*"}) +
                 QStringList{"--watch", "--publish", broker->url(false), "--outbox", outbox},
             withPassword(TestBroker::Password));
    QVERIFY(subscriber->waitFor(3, ArriveMs));

    broker->stop();
    const auto control = [&links](const QByteArray &command) {
        QFile pipe(links + "/control");
        return pipe.open(QIODevice::WriteOnly) && pipe.write(command + '\n') > 0;
    };
    // Two boards plugged in again while the broker is away: their records wait.
    QByteArray errors;
    for (const QByteArray board : {"0", "2"}) {
        QVERIFY(control("unplug " + board));
        QVERIFY(waitFor(cli, errors, "tty" + board + ": board removed", ArriveMs,
                        QProcess::StandardError));
        QVERIFY(control("plug " + board));
    }
    // The report has each record a moment before the outbox does.
    QElapsedTimer served;
    served.start();
    while (waiting(outbox).size() < 2 && served.elapsed() < ArriveMs)
        QTest::qWait(50);
    QCOMPARE(waiting(outbox).size(), 2);
    QCOMPARE(reportRecords(path("report.jsonl")).size(), 5);

    const QString restarted = broker->start();
    QVERIFY2(restarted.isEmpty(), qPrintable(restarted));
    QVERIFY(subscriber->waitFor(5, ArriveMs));
    QVERIFY(waitFor(cli, errors, "takes the records again", ArriveMs, QProcess::StandardError));

    ::kill(pid_t(cli.processId()), SIGINT);
    const CliRun run = finish(cli, 20000);
    QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
    QCOMPARE(waiting(outbox), QStringList());
    QSet<QString> published;
    for (const QJsonObject &record : subscriber->records())
        published.insert(record["start"].toString() + record["port"].toString());
    QSet<QString> reported;
    for (const QJsonObject &record : reportRecords(path("report.jsonl")))
        reported.insert(record["start"].toString() + record["port"].toString());
    QCOMPARE(published, reported);
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
