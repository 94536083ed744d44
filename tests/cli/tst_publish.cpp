// torvane-cli publishing its records to a real Mosquitto broker (TLS, passwords, the station's
// certificate) that the test starts, stops and mends: each record arrives as the report has it,
// with its id, the station's name and its number; the station's state is on the broker beside
// them; records wait in the outbox while the broker is away, silent or refuses the station, and
// none is lost, none invented.
#include "cli_run.h"
#include "harness/broker.h"
#include "support/device_process.h"
#include "support/images.h"
#include "support/sandbox.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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

QProcessEnvironment withoutPassword() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("TORVANE_PUBLISH_PASSWORD");
    env.remove("CREDENTIALS_DIRECTORY");
    return env;
}

// A record's name in an outbox, as the outbox would make it for `id`, with a seal of nobody's.
QString madeUpName(const QString &id) {
    return QStringLiteral("00061a8b2c3d4e5f-%1.0123456789abcdef0123456789abcdef.json").arg(id);
}

QList<qint64> numbers(const QList<QJsonObject> &records) {
    QList<qint64> seqs;
    for (const QJsonObject &record : records)
        seqs << record["seq"].toInteger(-1);
    std::sort(seqs.begin(), seqs.end());
    return seqs;
}

// A broker that is hung: the system takes the connection into the listener's queue, and
// nothing ever answers.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
            ::listen(fd_, 8) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~SilentListener() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// The processes whose command line holds `text`.
QStringList processesWith(const QByteArray &text) {
    QStringList found;
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile cmdline("/proc/" + pid + "/cmdline");
        if (pid.toInt() > 0 && cmdline.open(QIODevice::ReadOnly) &&
            cmdline.readAll().contains(text))
            found << pid;
    }
    return found;
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
    void stationStatusOnlineThenOfflineByItsWill();
    void passwordFromTheServiceCredential();
    void secretsOthersMayReadAreRefused_data();
    void secretsOthersMayReadAreRefused();
    void stationCertificate();
    void plantedOutboxFilesAreNotPublished();
    void outboxOnAFullDisk_data();
    void outboxOnAFullDisk();
    void silentBrokerMakesRecordsWait();
    void nameLookupThatNeverAnswers();
    void twoStationsTakeOverOneOutbox();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    QStringList download(const QStringList &ports, bool report = true) const {
        QStringList arguments{"download", "data", path("data.bin")};
        if (report)
            arguments << "--report" << path("report.jsonl");
        for (const QString &port : ports)
            arguments << "--port" << port;
        return arguments;
    }
    // Runs the tool in `sandbox`; skips the test where the system makes none.
    CliRun runSandboxed(const Sandbox &sandbox, const QStringList &arguments);

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
    for (const QJsonObject &published : subscriber->records()) {
        QVERIFY(!QUuid::fromString(published["id"].toString()).isNull());
        QCOMPARE(published["station"].toString(), QStringLiteral("line 1, station 4"));
        // The same JSON as the report's line, its id and number included.
        QVERIFY2(report.removeOne(published), QJsonDocument(published).toJson());
    }
    // Every record taken by the broker has left the outbox, which the run waited for.
    QStringList outboxes =
        QDir(stateHome.filePath("torvane/outbox")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(outboxes.size(), 1);
    QCOMPARE(waiting(stateHome.filePath("torvane/outbox/" + outboxes[0])), QStringList());

    // The station's numbers go on in the next run, one more for each record: a gap would be a
    // record the plant is missing.
    const CliRun again =
        runCli(download({devices.slavePaths()[0], devices.slavePaths()[2]}) +
               QStringList{"--publish", broker->url(true), "--publish-ca", broker->caFile(),
                           "--publish-password-file", broker->passwordFile(TestBroker::Password),
                           "--station", "line 1, station 4"});
    QVERIFY2(again.exitCode == 0, qPrintable(again.errors));
    QVERIFY(subscriber->waitFor(5, ArriveMs));
    const QList<qint64> seqs = numbers(reportRecords(path("report.jsonl")));
    QCOMPARE(seqs.size(), 5);
    for (int k = 1; k < seqs.size(); ++k)
        QCOMPARE(seqs[k], seqs[0] + k);
    QCOMPARE(numbers(subscriber->records()), seqs);
    for (const QJsonObject &record : subscriber->records()) {
        QCOMPARE(record["schema"].toInt(), 1);
        QVERIFY2(record["tool"].toString().startsWith("torvane-cli "),
                 qPrintable(record["tool"].toString()));
    }
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

    // What the broker took is swept off the disk while the watch has nothing else to do.
    QElapsedTimer swept;
    swept.start();
    while (!QDir(outbox + "/delivered").isEmpty() && swept.elapsed() < ArriveMs)
        QTest::qWait(50);
    QVERIFY(QDir(outbox + "/delivered").isEmpty());

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

CliRun TestPublish::runSandboxed(const Sandbox &sandbox, const QStringList &arguments) {
    QProcess process;
    QString why;
    if (!SetUpSandbox(process, sandbox, &why))
        qFatal("%s", qPrintable(why));
    startCli(process, arguments, withPassword(TestBroker::Password));
    return finish(process, ArriveMs);
}

void TestPublish::stationStatusOnlineThenOfflineByItsWill() {
    const QString topic = "plant/line1/status/ST-W";
    TestSubscriber status(*broker, topic, "status");
    const QString subscribed = status.start();
    QVERIFY2(subscribed.isEmpty(), qPrintable(subscribed));
    const QString links = path("links");
    DeviceProcess devices(QStringList{"--count", "1", "--link-dir", links} + Quick, 5000, 1);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    const QStringList publish{"--publish", broker->url(false), "--station", "ST-W"};

    QProcess watch;
    startCli(watch, download({links + "/tty*"}) + publish + QStringList{"--watch"},
             withPassword(TestBroker::Password));
    // Online, with the board it served counted.
    const QJsonObject online = status.waitForMessage(
        [](const QJsonObject &m) { return m["state"] == "online" && m["done"] == 1; }, ArriveMs);
    QVERIFY2(!online.isEmpty(), qPrintable(QString::number(status.messages().size())));
    QCOMPARE(online["station"].toString(), QStringLiteral("ST-W"));
    QCOMPARE(online["running"].toInt(), 0);
    QCOMPARE(online["backlog"].toInt(), 0);
    QVERIFY(online["tool"].toString().startsWith("torvane-cli "));
    QVERIFY(QDateTime::fromString(online["time"].toString(), Qt::ISODateWithMs).isValid());

    // Killed: the broker says it for the station, to those subscribed now and later.
    ::kill(pid_t(watch.processId()), SIGKILL);
    watch.waitForFinished();
    const QJsonObject will = status.waitForMessage(
        [](const QJsonObject &m) { return m["state"] == "offline"; }, ArriveMs);
    QCOMPARE(will["station"].toString(), QStringLiteral("ST-W"));
    QVERIFY(!will.contains("time"));
    TestSubscriber later(*broker, topic, "later");
    QVERIFY(later.start().isEmpty());
    QVERIFY(
        !later
             .waitForMessage([](const QJsonObject &m) { return m["state"] == "offline"; }, ArriveMs)
             .isEmpty());

    // A run that ends says so itself, with its counts and the time.
    const CliRun run =
        runCli(download({links + "/tty0"}) + publish, withPassword(TestBroker::Password));
    QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
    TestSubscriber last(*broker, topic, "last");
    QVERIFY(last.start().isEmpty());
    const QJsonObject ended = last.waitForMessage(
        [](const QJsonObject &m) { return m["state"] == "offline" && m.contains("time"); },
        ArriveMs);
    QCOMPARE(ended["done"].toInt(), 1);
}

void TestPublish::passwordFromTheServiceCredential() {
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    // As systemd hands a service its LoadCredential=: a folder of files for the service alone.
    const QString credentials = path("credentials");
    QVERIFY(QDir().mkpath(credentials));
    QVERIFY(WriteFile(credentials + "/publish-password", QByteArray(TestBroker::Password) + "\n"));
    QVERIFY(QFile::setPermissions(credentials + "/publish-password", QFile::ReadOwner));
    QProcessEnvironment env = withoutPassword();
    env.insert("CREDENTIALS_DIRECTORY", credentials);

    const CliRun run = runCli(download({device.slavePath()}) +
                                  QStringList{"--publish", broker->url(true), "--publish-ca",
                                              broker->caFile(), "--outbox", path("outbox")},
                              env);
    QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
    QVERIFY(subscriber->waitFor(1, ArriveMs));
    QCOMPARE(waiting(path("outbox")), QStringList());
}

void TestPublish::secretsOthersMayReadAreRefused_data() {
    QTest::addColumn<QString>("secret"); // password, credential or key
    QTest::addColumn<int>("mode");
    QTest::newRow("a password file anyone may read") << "password" << 0644;
    QTest::newRow("a credential its group may read") << "credential" << 0640;
    QTest::newRow("a key anyone may read") << "key" << 0604;
}

void TestPublish::secretsOthersMayReadAreRefused() {
    QFETCH(QString, secret);
    QFETCH(int, mode);
    QString file = secret == "key" ? path("station.key") : path("publish-password");
    QVERIFY(QFile::copy(secret == "key" ? broker->clientKeyFile()
                                        : broker->passwordFile(TestBroker::Password),
                        file));
    QCOMPARE(::chmod(QFile::encodeName(file).constData(), mode_t(mode)), 0);
    QStringList arguments{"--publish", broker->mutualUrl(), "--publish-ca", broker->caFile()};
    QProcessEnvironment env = withoutPassword();
    if (secret == "password")
        arguments << "--publish-password-file" << file;
    if (secret == "credential")
        env.insert("CREDENTIALS_DIRECTORY", dir->path());
    if (secret == "key")
        arguments << "--publish-cert" << broker->clientCertFile() << "--publish-key" << file;

    // Refused before any board: a usage error, which stops a service's restarts.
    const CliRun run = runCli(download({"/dev/ttyS99"}) + arguments, env);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.errors.contains(file + " may be read by others than its owner"),
             qPrintable(run.errors));
    QVERIFY(run.errors.contains("chmod 600"));
    QVERIFY(!QFile::exists(path("report.jsonl")));
}

void TestPublish::stationCertificate() {
    DeviceProcess devices(QStringList{"--count", "2"} + Quick, 5000, 2);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    const QStringList publish{"--publish",      broker->mutualUrl(), "--publish-ca",
                              broker->caFile(), "--outbox",          path("outbox")};

    // A broker that asks for the station's certificate refuses a station with none: the
    // records wait, and stderr says what it wants.
    const CliRun without =
        runCli(download({devices.slavePaths()[0]}) + publish, withPassword(TestBroker::Password));
    QVERIFY2(without.exitCode == 0, qPrintable(without.errors));
    QVERIFY2(without.errors.contains("certificate of the station's"), qPrintable(without.errors));
    QCOMPARE(waiting(path("outbox")).size(), 1);

    const CliRun with = runCli(download({devices.slavePaths()[1]}) + publish +
                                   QStringList{"--publish-cert", broker->clientCertFile(),
                                               "--publish-key", broker->clientKeyFile()},
                               withPassword(TestBroker::Password));
    QVERIFY2(with.exitCode == 0, qPrintable(with.errors));
    QVERIFY(subscriber->waitFor(2, ArriveMs));
    QCOMPARE(waiting(path("outbox")), QStringList());
}

void TestPublish::plantedOutboxFilesAreNotPublished() {
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    const QString outbox = path("outbox");
    QVERIFY(QDir().mkpath(outbox));
    // Under records' names: a record cut short, random bytes, a record of the station's own
    // form that the outbox never wrote, and a pipe that no reader may wait on.
    const QString planted = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QByteArray noise(3000, '\0');
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32 *>(noise.data()), 750);
    const QMap<QString, QByteArray> files{
        {madeUpName(QUuid::createUuid().toString(QUuid::WithoutBraces)), R"({"id":"trunc)"},
        {madeUpName(QUuid::createUuid().toString(QUuid::WithoutBraces)), noise},
        {madeUpName(planted), QJsonDocument(QJsonObject{{"id", planted},
                                                        {"station", "ST-1"},
                                                        {"seq", 1},
                                                        {"result", "Update Success!"}})
                                  .toJson(QJsonDocument::Compact)}};
    for (auto it = files.begin(); it != files.end(); ++it)
        QVERIFY(WriteFile(outbox + "/" + it.key(), it.value()));
    const QString pipe = madeUpName(QUuid::createUuid().toString(QUuid::WithoutBraces));
    QCOMPARE(::mkfifo(QFile::encodeName(outbox + "/" + pipe).constData(), 0600), 0);

    const CliRun run = runCli(download({device.slavePath()}) +
                                  QStringList{"--publish", broker->url(false), "--outbox", outbox},
                              withPassword(TestBroker::Password));

    QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
    // The board's record only: what came before it in the outbox went nowhere.
    QVERIFY(subscriber->waitFor(1, ArriveMs));
    QCOMPARE(subscriber->records().size(), 1);
    QCOMPARE(subscriber->records()[0], reportRecords(path("report.jsonl")).value(0));
    QStringList asides = QDir(outbox).entryList(QDir::Files | QDir::System);
    asides.removeAll("deliverer.lock");
    QStringList expected;
    for (const QString &name : files.keys())
        expected << name + ".refused";
    expected << pipe + ".unreadable";
    expected.sort();
    QCOMPARE(asides, expected);
    QCOMPARE(run.errors.count("is kept aside as"), 4);
}

void TestPublish::outboxOnAFullDisk_data() {
    QTest::addColumn<bool>("report");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::newRow("no report: the record is lost")
        << false << 9 << "the board was programmed, but its record is lost: the outbox";
    QTest::newRow("a report keeps it") << true << 0 << "the report keeps it";
}

void TestPublish::outboxOnAFullDisk() {
    QFETCH(bool, report);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    Sandbox sandbox;
    sandbox.fullDisk = path("disk");

    const CliRun run = runSandboxed(
        sandbox, download({device.slavePath()}, report) +
                     QStringList{"--publish", broker->url(false), "--outbox", path("disk/outbox")});

    if (run.exitCode == SandboxRefused)
        QSKIP(qPrintable("the system makes no sandbox here: " + run.errors));
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.errors));
    QVERIFY2(run.errors.contains(said), qPrintable(run.errors));
    QVERIFY2(run.errors.contains("No space left on device"), qPrintable(run.errors));
    QVERIFY(!run.errors.contains("kept in the outbox"));
    QCOMPARE(reportRecords(path("report.jsonl")).size(), report ? 1 : 0);
    QCOMPARE(subscriber->records().size(), 0);
}

void TestPublish::silentBrokerMakesRecordsWait() {
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    SilentListener silent;
    QVERIFY(silent.port() > 0);
    const QString url =
        QStringLiteral("mqtt://station@127.0.0.1:%1/plant/line1/records").arg(silent.port());

    const CliRun run = runCli(download({device.slavePath()}) +
                                  QStringList{"--publish", url, "--outbox", path("outbox")},
                              withPassword(TestBroker::Password));

    // The board is done and its record waits, and the run says why (what a silent broker costs
    // a run is the benchmark's figure).
    QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
    QCOMPARE(waiting(path("outbox")).size(), 1);
    QVERIFY2(run.errors.contains(
                 "1 record waits in the outbox " + path("outbox") +
                 ": the broker mqtt://station@127.0.0.1:" + QString::number(silent.port()) +
                 "/plant/line1/records has not answered the connection"),
             qPrintable(run.errors));
}

void TestPublish::nameLookupThatNeverAnswers() {
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    Sandbox sandbox;
    sandbox.silentNameServer = true;
    sandbox.folder = dir->path();
    const QByteArray host = "broker-" + QByteArray::number(::getpid()) + ".plant.example";

    // The name server takes the question and never answers (for minutes, by its options): the
    // run ends with its board, not with the lookup.
    const CliRun run = runSandboxed(
        sandbox,
        download({device.slavePath()}) +
            QStringList{"--publish", "mqtt://station@" + host + ":1883/plant/line1/records",
                        "--outbox", path("outbox")});

    if (run.exitCode == SandboxRefused)
        QSKIP(qPrintable("the system makes no sandbox here: " + run.errors));
    QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
    QCOMPARE(waiting(path("outbox")).size(), 1);
    QVERIFY2(run.errors.contains("the broker's host " + host +
                                 " has not been found yet (its name lookup has not answered)"),
             qPrintable(run.errors));
    // Nothing of the lookup outlives the station.
    QCOMPARE(processesWith(host), QStringList());
}

void TestPublish::twoStationsTakeOverOneOutbox() {
    const QString links = path("links");
    DeviceProcess devices(QStringList{"--count", "2", "--link-dir", links} + Quick, 5000, 2);
    QVERIFY2(!devices.slavePath().isEmpty(), qPrintable(devices.errorString()));
    const QString outbox = path("outbox");
    const auto station = [&](QProcess &cli, const QString &name, const QString &port) {
        startCli(cli,
                 download({links + "/" + port}) + QStringList{"--watch", "--publish",
                                                              broker->url(false), "--outbox",
                                                              outbox, "--station", name},
                 withPassword(TestBroker::Password));
    };
    const auto from = [&](const QString &name) {
        int count = 0;
        for (const QJsonObject &record : subscriber->records())
            count += record["station"] == name;
        return count;
    };
    QProcess first;
    station(first, "ST-A", "tty0");
    QVERIFY(subscriber->waitFor(1, ArriveMs));
    // The second station's records go into the outbox the first delivers.
    QProcess second;
    station(second, "ST-B", "tty1");
    QByteArray errors;
    QVERIFY(waitFor(second, errors, "delivers this outbox; they go out with its", ArriveMs,
                    QProcess::StandardError));
    QVERIFY(subscriber->waitFor(2, ArriveMs));
    QCOMPARE(from("ST-B"), 1);

    // The first one gone, the second delivers the outbox itself.
    ::kill(pid_t(first.processId()), SIGKILL);
    first.waitForFinished();
    QFile control(links + "/control");
    QVERIFY(control.open(QIODevice::WriteOnly));
    QVERIFY(control.write("unplug 1\n") > 0 && control.flush());
    QVERIFY(waitFor(second, errors, "tty1: board removed", ArriveMs, QProcess::StandardError));
    QVERIFY(control.write("plug 1\n") > 0 && control.flush());
    QVERIFY(subscriber->waitFor(3, ArriveMs));
    QCOMPARE(from("ST-A"), 1);
    QCOMPARE(from("ST-B"), 2);

    ::kill(pid_t(second.processId()), SIGINT);
    const CliRun run = finish(second, 20000);
    QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
    QCOMPARE(waiting(outbox), QStringList());
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
