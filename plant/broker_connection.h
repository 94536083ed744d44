#pragma once

#include "plant/broker_address.h"

#include <QByteArray>
#include <QString>

#include <vector>

struct mosquitto;

// One connection to the broker through libmosquitto, made and driven by one thread: it connects,
// publishes at QoS 1 and collects the broker's acknowledgements. A connection that failed is not
// mended: the deliverer makes a new one, with the password read again.
class BrokerConnection {
public:
    struct Setup {
        BrokerAddress broker;
        QString password; // empty for none
        QString caFile;   // empty: the system's authorities
        QString certFile; // the station's certificate, with its key; empty for none
        QString keyFile;
        QByteArray clientId;
        // The station's status topic, and what the broker puts there, retained, should the
        // connection end without a word from the station; no will when the topic is empty.
        QByteArray statusTopic;
        QByteArray will;
    };
    enum class State { Connecting, Connected, Failed };

    explicit BrokerConnection(Setup setup);
    ~BrokerConnection();
    BrokerConnection(const BrokerConnection &) = delete;
    BrokerConnection &operator=(const BrokerConnection &) = delete;

    // Begins to connect; failed at once when it cannot even begin. The broker's name is looked
    // up again here, in a moment once a NameLookup has found it.
    void start();
    State state() const { return state_; }
    QString why() const { return why_; }

    // Publishes at QoS 1; the message's id, which takeAcknowledged() gives back once the broker
    // has taken it; -1 when the connection failed.
    int publish(const QByteArray &payload);
    // The station's status, retained on its topic; -1 when the connection failed.
    int publishStatus(const QByteArray &payload);
    // Whether the broker acknowledged the last status published.
    bool statusTaken() const { return statusTaken_; }
    // Waits up to `timeoutMs` for the broker, or for `wake` to become readable (none when -1),
    // and does what the network asks.
    void wait(int wake, int timeoutMs);
    std::vector<int> takeAcknowledged();

private:
    static void onConnect(mosquitto *, void *self, int code);
    static void onDisconnect(mosquitto *, void *self, int code);
    static void onPublish(mosquitto *, void *self, int id);
    static void onLog(mosquitto *, void *self, int level, const char *text);
    void fail(const QString &why);
    // What a libmosquitto error code means here.
    void failWith(int code);
    // Why the TLS handshake failed: on the broker's side, or the station's.
    QString tlsRefusal(int code) const;
    QString tlsSessionEnded() const;
    // The broker's certificate checked against the authorities trusted here; the library's code.
    int setUpTls();

    Setup setup_;
    mosquitto *client_ = nullptr;
    QString lastError_; // the library's last error line: OpenSSL's reason, for one
    State state_ = State::Connecting;
    QString why_;
    std::vector<int> acknowledged_;
    int statusId_ = -1;
    bool statusTaken_ = false;
};
