#include "harness/broker.h"

#include "harness/loopback.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QSet>
#include <QThread>
#include <QUrl>

#include <unistd.h>

namespace {

constexpr const char *Reader = "reader";
constexpr const char *ReaderPassword = "reader-secret";
constexpr int StartMs = 10000;

// Runs a program to its end; empty when it succeeded, else what it said.
QString run(const QString &program, const QStringList &arguments, const QString &folder) {
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return QStringLiteral("%1 %2 failed: %3 %4")
            .arg(program, arguments.join(QLatin1Char(' ')), process.errorString(),
                 QString::fromLocal8Bit(process.readAll()));
    return {};
}

// A key of its own and a certificate, signed by `signer` (its key and certificate), or by itself.
QString certificate(const QString &folder, const QString &name, const QString &subject,
                    const QString &signer) {
    const QStringList key{"-newkey", "ec",      "-pkeyopt",   "ec_paramgen_curve:prime256v1",
                          "-nodes",  "-keyout", name + ".key"};
    if (signer.isEmpty())
        return run("openssl",
                   QStringList{"req", "-x509"} + key +
                       QStringList{"-out", name + ".crt", "-days", "2", "-subj", subject},
                   folder);
    QFile extensions(folder + "/" + name + ".ext");
    if (!extensions.open(QIODevice::WriteOnly) ||
        extensions.write("subjectAltName=DNS:localhost\n") <= 0)
        return QStringLiteral("cannot write %1").arg(extensions.fileName());
    extensions.close();
    if (QString why =
            run("openssl",
                QStringList{"req"} + key + QStringList{"-out", name + ".csr", "-subj", subject},
                folder);
        !why.isEmpty())
        return why;
    return run("openssl",
               {"x509", "-req", "-in", name + ".csr", "-CA", signer + ".crt", "-CAkey",
                signer + ".key", "-CAcreateserial", "-out", name + ".crt", "-days", "2", "-extfile",
                name + ".ext"},
               folder);
}

} // namespace

TestBroker::TestBroker() {
    error_ = make();
}

TestBroker::~TestBroker() {
    stop();
}

QString TestBroker::make() {
    if (!dir_.isValid())
        return QStringLiteral("no temporary folder");
    const QString folder = dir_.path();
    for (const QString &why :
         {certificate(folder, "ca", "/CN=torvane test plant", {}),
          certificate(folder, "other-ca", "/CN=another plant", {}),
          certificate(folder, "server", "/CN=localhost", "ca"),
          certificate(folder, "client", "/CN=torvane test station", "ca"),
          run("mosquitto_passwd", {"-c", "-b", "passwd", User, Password}, folder),
          run("mosquitto_passwd", {"-b", "passwd", Reader, ReaderPassword}, folder)}) {
        if (!why.isEmpty())
            return why;
    }
    // A key is its owner's alone: the station refuses one others may read.
    QFile::setPermissions(dir_.filePath("client.key"), QFile::ReadOwner | QFile::WriteOwner);
    port_ = FreeLoopbackPort();
    tlsPort_ = FreeLoopbackPort();
    mutualPort_ = FreeLoopbackPort();
    QString config = QStringLiteral("per_listener_settings false\n"
                                    "allow_anonymous false\n"
                                    "password_file %1/passwd\n"
                                    "persistence true\n"
                                    "persistence_location %1/\n"
                                    "listener %2 127.0.0.1\n"
                                    "listener %3 127.0.0.1\n"
                                    "cafile %1/ca.crt\n"
                                    "certfile %1/server.crt\n"
                                    "keyfile %1/server.key\n"
                                    "listener %4 127.0.0.1\n"
                                    "cafile %1/ca.crt\n"
                                    "certfile %1/server.crt\n"
                                    "keyfile %1/server.key\n"
                                    "require_certificate true\n")
                         .arg(folder, QString::number(port_), QString::number(tlsPort_),
                              QString::number(mutualPort_));
    // Started as root it would become the user "mosquitto", who may not read this folder.
    if (::geteuid() == 0)
        config += QStringLiteral("user root\n");
    QFile file(dir_.filePath("mosquitto.conf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) <= 0)
        return QStringLiteral("cannot write %1").arg(file.fileName());
    return {};
}

QString TestBroker::start() {
    if (!error_.isEmpty())
        return error_;
    process_.setStandardOutputFile(dir_.filePath("broker.log"), QIODevice::Append);
    process_.setStandardErrorFile(dir_.filePath("broker.log"), QIODevice::Append);
    process_.start("mosquitto", {"-c", dir_.filePath("mosquitto.conf")});
    if (!process_.waitForStarted(StartMs))
        return QStringLiteral("cannot start mosquitto: %1").arg(process_.errorString());
    const QDeadlineTimer deadline(StartMs);
    while (!ListeningOnLoopback(port_) || !ListeningOnLoopback(tlsPort_) ||
           !ListeningOnLoopback(mutualPort_)) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
            QFile log(dir_.filePath("broker.log"));
            log.open(QIODevice::ReadOnly);
            return QStringLiteral("mosquitto did not listen: %1")
                .arg(QString::fromLocal8Bit(log.readAll()));
        }
        QThread::msleep(20);
    }
    return {};
}

void TestBroker::stop() {
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(10000)) {
        process_.kill();
        process_.waitForFinished();
    }
}

QString TestBroker::url(bool tls, const QString &host) const {
    return QStringLiteral("%1://%2@%3:%4/%5")
        .arg(tls ? "mqtts" : "mqtt", User, host, QString::number(tls ? tlsPort_ : port_), Topic);
}

QString TestBroker::mutualUrl() const {
    return QStringLiteral("mqtts://%1@localhost:%2/%3")
        .arg(User, QString::number(mutualPort_), Topic);
}

QString TestBroker::passwordFile(const QString &password) const {
    const QString path = dir_.filePath(QStringLiteral("password-%1").arg(password));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(password.toUtf8() + '\n');
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    return path;
}

TestSubscriber::TestSubscriber(TestBroker &broker, const QString &topic, const QString &name)
    : broker_(broker), topic_(topic), name_(name) {}

TestSubscriber::~TestSubscriber() {
    process_.terminate();
    process_.waitForFinished(5000);
}

QString TestSubscriber::start() {
    const QUrl plain(broker_.url(false));
    const QStringList connection{"-h", "127.0.0.1", "-p", QString::number(plain.port()),
                                 "-u", Reader,      "-P", ReaderPassword,
                                 "-t", topic_,      "-q", "1"};
    // A session of its own that the broker keeps (-c, a fixed id): what is published while it
    // is away is queued for it.
    process_.start(
        "mosquitto_sub",
        connection + QStringList{"-c", "-i",
                                 QStringLiteral("torvane-test-%1-%2").arg(::getpid()).arg(name_)});
    if (!process_.waitForStarted(StartMs))
        return QStringLiteral("cannot start mosquitto_sub: %1").arg(process_.errorString());
    // Subscribed once a message of its own comes through.
    const QByteArray marker = R"({"id":"subscribed"})";
    const QDeadlineTimer deadline(StartMs);
    while (!received_.contains(marker)) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning)
            return QStringLiteral("mosquitto_sub received nothing: %1")
                .arg(QString::fromLocal8Bit(process_.readAllStandardError()));
        run("mosquitto_pub", connection + QStringList{"-m", QString::fromLatin1(marker)}, ".");
        process_.waitForReadyRead(200);
        received_ += process_.readAllStandardOutput();
    }
    return {};
}

QList<QJsonObject> TestSubscriber::records() {
    received_ += process_.readAllStandardOutput();
    QList<QJsonObject> records;
    QSet<QString> ids;
    for (const QByteArray &line : received_.split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        const QString id = record.value("id").toString();
        if (record.isEmpty() || id == QLatin1String("subscribed") || ids.contains(id))
            continue;
        ids.insert(id);
        records << record;
    }
    return records;
}

QList<QJsonObject> TestSubscriber::messages() {
    received_ += process_.readAllStandardOutput();
    QList<QJsonObject> messages;
    for (const QByteArray &line : received_.split('\n')) {
        const QJsonObject message = QJsonDocument::fromJson(line).object();
        if (!message.isEmpty() && message.value("id").toString() != QLatin1String("subscribed"))
            messages << message;
    }
    return messages;
}

QJsonObject TestSubscriber::waitForMessage(const std::function<bool(const QJsonObject &)> &matches,
                                           int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const QList<QJsonObject> all = messages();
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            if (matches(*it))
                return *it;
        }
        if (deadline.hasExpired())
            return {};
        process_.waitForReadyRead(100);
    }
}

bool TestSubscriber::waitFor(int count, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (records().size() < count) {
        if (deadline.hasExpired())
            return false;
        process_.waitForReadyRead(100);
    }
    return true;
}
