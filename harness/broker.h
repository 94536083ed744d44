#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real Mosquitto broker for a test or a benchmark, on 127.0.0.1 on free ports: one plain
// listener and one with TLS, both asking for a user and password. Its authority and certificate
// (for "localhost" alone) are made by openssl in a folder of its own, with a second authority
// that signed nothing of it. Stopped with SIGTERM it keeps its subscriptions and the messages
// queued for them, and start() brings it back on the same ports.
class TestBroker {
public:
    static constexpr const char *User = "station";
    static constexpr const char *Password = "line-1-secret";
    static constexpr const char *Topic = "plant/line1/records";

    TestBroker();
    ~TestBroker();
    TestBroker(const TestBroker &) = delete;
    TestBroker &operator=(const TestBroker &) = delete;

    // Empty when the broker is listening; else why it is not.
    QString start();
    void stop();

    // mqtt://station@host:port/topic, or mqtts:// on the TLS listener.
    QString url(bool tls, const QString &host = QStringLiteral("localhost")) const;
    QString caFile() const { return file(QStringLiteral("ca.crt")); }
    QString otherCaFile() const { return file(QStringLiteral("other-ca.crt")); }
    // A file holding `password` on a line of its own.
    QString passwordFile(const QString &password) const;
    QString file(const QString &name) const { return dir_.filePath(name); }
    QString error() const { return error_; }

private:
    QString make();
    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
    int tlsPort_ = 0;
    QString error_;
};

// mosquitto_sub on the broker's topic, in a session the broker keeps across its restart: every
// record published, in the order it came.
class TestSubscriber {
public:
    explicit TestSubscriber(TestBroker &broker);
    ~TestSubscriber();
    // Empty when it is subscribed (a message of the test's own came through); else why not.
    QString start();
    // The records received, each once by its "id" (a record may come twice).
    QList<QJsonObject> records();
    // Waits up to `timeoutMs` for `count` records.
    bool waitFor(int count, int timeoutMs);

private:
    TestBroker &broker_;
    QProcess process_;
    QByteArray received_;
};
