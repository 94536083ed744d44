#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// A real Mosquitto broker for a test or a benchmark, on 127.0.0.1 on free ports: one plain
// listener, one with TLS, and one with TLS that asks for the station's certificate too, all
// asking for a user and password. Its authority and certificate (for "localhost" alone) and a
// station's certificate are made by openssl in a folder of its own, with a second authority that
// signed nothing of it. Stopped with SIGTERM it keeps its subscriptions, the messages queued for
// them and the retained ones, and start() brings it back on the same ports.
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
    // mqtts://station@localhost:port/topic on the listener that asks for a certificate.
    QString mutualUrl() const;
    QString caFile() const { return file(QStringLiteral("ca.crt")); }
    QString otherCaFile() const { return file(QStringLiteral("other-ca.crt")); }
    // The station's certificate, signed by the broker's authority, and its key (0600).
    QString clientCertFile() const { return file(QStringLiteral("client.crt")); }
    QString clientKeyFile() const { return file(QStringLiteral("client.key")); }
    // A file holding `password` on a line of its own, for its owner's eyes alone.
    QString passwordFile(const QString &password) const;
    QString file(const QString &name) const { return dir_.filePath(name); }
    QString error() const { return error_; }

private:
    QString make();
    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
    int tlsPort_ = 0;
    int mutualPort_ = 0;
    QString error_;
};

// mosquitto_sub on a topic of the broker's (the records' unless given), in a session the broker
// keeps across its restart: every message published, in the order it came. `name` tells two
// subscribers of one test apart.
class TestSubscriber {
public:
    explicit TestSubscriber(TestBroker &broker, const QString &topic = TestBroker::Topic,
                            const QString &name = QStringLiteral("records"));
    ~TestSubscriber();
    // Empty when it is subscribed (a message of the test's own came through); else why not.
    QString start();
    // The records received, each once by its "id" (a record may come twice).
    QList<QJsonObject> records();
    // Every message received as JSON, in order.
    QList<QJsonObject> messages();
    // Waits up to `timeoutMs` for `count` records.
    bool waitFor(int count, int timeoutMs);
    // Waits up to `timeoutMs` for a message that `matches`; the last such message, or none.
    QJsonObject waitForMessage(const std::function<bool(const QJsonObject &)> &matches,
                               int timeoutMs);

private:
    TestBroker &broker_;
    QString topic_;
    QString name_;
    QProcess process_;
    QByteArray received_;
};
