#pragma once

#include "plant/broker_address.h"

#include <QByteArray>
#include <QString>

#include <memory>
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
        QByteArray clientId;
    };
    enum class State { Connecting, Connected, Failed };

    explicit BrokerConnection(Setup setup);
    ~BrokerConnection();
    BrokerConnection(const BrokerConnection &) = delete;
    BrokerConnection &operator=(const BrokerConnection &) = delete;

    // Begins to connect, the broker's name looked up on a thread of its own: a lookup the
    // network does not answer holds up neither the deliverer nor the end of the station. Failed
    // at once when it cannot even begin.
    void start();
    State state() const { return state_; }
    QString why() const { return why_; }

    // Publishes at QoS 1; the message's id, which takeAcknowledged() gives back once the broker
    // has taken it; -1 when the connection failed.
    int publish(const QByteArray &payload);
    // Waits up to `timeoutMs` for the broker, or for `wake` to become readable, and does what
    // the network asks.
    void wait(int wake, int timeoutMs);
    std::vector<int> takeAcknowledged();

private:
    struct Client;
    // Whether the connect has begun, taking its outcome once it has; until then the library's
    // client belongs to the thread that looks the broker's name up.
    bool begun();
    static void onConnect(mosquitto *, void *self, int code);
    static void onDisconnect(mosquitto *, void *self, int code);
    static void onPublish(mosquitto *, void *self, int id);
    static void onLog(mosquitto *, void *self, int level, const char *text);
    void fail(const QString &why);
    // What a libmosquitto error code means here.
    void failWith(int code);

    Setup setup_;
    std::shared_ptr<Client> client_;
    bool begun_ = false;
    State state_ = State::Connecting;
    QString why_;
    std::vector<int> acknowledged_;
};
