#include "plant/broker_connection.h"

#include <mosquitto.h>

#include <cerrno>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>

namespace {

// The broker hears from the station at least this often, and a silent link is found dead within
// about one and a half times it.
constexpr int KeepAliveSeconds = 30;
// Records handed to the library at once; the deliverer keeps no more in flight.
constexpr unsigned MaxInFlight = 256;

void initialiseLibrary() {
    // The library's set-up is not for two threads at once, and is needed once a process.
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

} // namespace

BrokerConnection::BrokerConnection(Setup setup) : setup_(std::move(setup)) {}

BrokerConnection::~BrokerConnection() {
    if (!client_)
        return;
    if (state_ == State::Connected)
        mosquitto_disconnect(client_);
    mosquitto_destroy(client_);
}

void BrokerConnection::fail(const QString &why) {
    if (state_ == State::Failed)
        return;
    state_ = State::Failed;
    why_ = why;
}

void BrokerConnection::failWith(int code) {
    const QString broker = setup_.broker.text();
    // The broker's TLS alert, read before the connection went, says more than its end.
    if (setup_.broker.tls && state_ == State::Connecting &&
        lastError_.contains(QLatin1String("alert")))
        code = MOSQ_ERR_TLS;
    switch (code) {
    case MOSQ_ERR_ERRNO:
        if (setup_.broker.tls && state_ == State::Connecting &&
            (errno == ECONNRESET || errno == EPROTO))
            fail(tlsSessionEnded());
        else
            fail(QStringLiteral("cannot reach the broker %1: %2")
                     .arg(broker, qt_error_string(errno)));
        break;
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_LOOKUP:
        fail(QStringLiteral("the broker's host %1 was not found").arg(setup_.broker.host));
        break;
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
        fail(tlsRefusal(code));
        break;
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
    case MOSQ_ERR_KEEPALIVE:
        // The library says the same of a connection refused before it was made.
        if (state_ == State::Connected)
            fail(QStringLiteral("the connection to the broker %1 was lost").arg(broker));
        else
            fail(QStringLiteral("cannot reach the broker %1: it refused or dropped the connection")
                     .arg(broker));
        break;
    default:
        fail(QStringLiteral("the broker %1: %2")
                 .arg(broker, QString::fromUtf8(mosquitto_strerror(code))));
    }
}

QString BrokerConnection::tlsRefusal(int code) const {
    const QString broker = setup_.broker.text();
    const QString reason =
        lastError_.isEmpty() ? QString::fromUtf8(mosquitto_strerror(code)) : lastError_;
    // The station's own certificate or key, before any word with the broker.
    if (reason.contains(QLatin1String("client cert")) || reason.contains(QLatin1String("key")))
        return QStringLiteral("the station's certificate %1 or its key %2 cannot be used (%3)")
            .arg(setup_.certFile, setup_.keyFile, reason);
    // The broker's alert: it refused the station's certificate, or wants one.
    if (reason.contains(QLatin1String("alert"))) {
        if (setup_.certFile.isEmpty())
            return QStringLiteral("the broker %1 refused the station in the TLS handshake: it may "
                                  "want a certificate of the station's (--publish-cert and "
                                  "--publish-key) (%2)")
                .arg(broker, reason);
        return QStringLiteral("the broker %1 refused the station's certificate %2: it must come "
                              "from an authority the broker trusts (%3)")
            .arg(broker, setup_.certFile, reason);
    }
    return QStringLiteral("the broker %1 was refused in the TLS handshake: its certificate must "
                          "come from an authority trusted here and name %2 (%3)")
        .arg(broker, setup_.broker.host, reason);
}

QString BrokerConnection::tlsSessionEnded() const {
    // After a handshake that checked the broker's certificate, what ends the session unanswered
    // is most often the broker's view of the station's certificate: it wants one, or does not
    // trust the one it got.
    const QString said = QStringLiteral("the broker %1 ended the TLS session before answering (%2)")
                             .arg(setup_.broker.text(), qt_error_string(errno));
    if (setup_.certFile.isEmpty())
        return said + QStringLiteral(": it may want a certificate of the station's "
                                     "(--publish-cert and --publish-key)");
    return said +
           QStringLiteral(": it may not trust the station's certificate %1").arg(setup_.certFile);
}

void BrokerConnection::start() {
    initialiseLibrary();
    client_ = mosquitto_new(setup_.clientId.constData(), true, this);
    if (!client_) {
        fail(QStringLiteral("cannot make a broker client: %1").arg(qt_error_string(errno)));
        return;
    }
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_disconnect_callback_set(client_, onDisconnect);
    mosquitto_publish_callback_set(client_, onPublish);
    mosquitto_log_callback_set(client_, onLog);
    mosquitto_max_inflight_messages_set(client_, MaxInFlight);
    // Records go as they come: small packets are not held back for the next one.
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    int code = MOSQ_ERR_SUCCESS;
    if (!setup_.broker.user.isEmpty() || !setup_.password.isEmpty())
        code = mosquitto_username_pw_set(
            client_, setup_.broker.user.toUtf8().constData(),
            setup_.password.isEmpty() ? nullptr : setup_.password.toUtf8().constData());
    if (code == MOSQ_ERR_SUCCESS && !setup_.statusTopic.isEmpty())
        code = mosquitto_will_set(client_, setup_.statusTopic.constData(), int(setup_.will.size()),
                                  setup_.will.constData(), 1, true);
    if (code == MOSQ_ERR_SUCCESS && setup_.broker.tls)
        code = setUpTls();
    if (code == MOSQ_ERR_SUCCESS)
        code = mosquitto_connect_async(client_, setup_.broker.host.toUtf8().constData(),
                                       setup_.broker.port, KeepAliveSeconds);
    if (code != MOSQ_ERR_SUCCESS)
        failWith(code);
}

int BrokerConnection::setUpTls() {
    // The broker's certificate is always checked, its host name included: no switch turns that
    // off.
    const QByteArray ca = setup_.caFile.toLocal8Bit();
    const QByteArray cert = setup_.certFile.toLocal8Bit();
    const QByteArray key = setup_.keyFile.toLocal8Bit();
    if (ca.isEmpty())
        mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    // A key that asks for a pass phrase is refused, never asked for on a terminal.
    const int code = mosquitto_tls_set(
        client_, ca.isEmpty() ? nullptr : ca.constData(), ca.isEmpty() ? "/etc/ssl/certs" : nullptr,
        cert.isEmpty() ? nullptr : cert.constData(), key.isEmpty() ? nullptr : key.constData(),
        [](char *, int, int, void *) { return 0; });
    return code == MOSQ_ERR_SUCCESS ? mosquitto_tls_insecure_set(client_, false) : code;
}

int BrokerConnection::publish(const QByteArray &payload) {
    if (state_ != State::Connected)
        return -1;
    int id = -1;
    const int code = mosquitto_publish(client_, &id, setup_.broker.topic.toUtf8().constData(),
                                       int(payload.size()), payload.constData(), 1, false);
    if (code != MOSQ_ERR_SUCCESS) {
        failWith(code);
        return -1;
    }
    return id;
}

void BrokerConnection::wait(int wake, int timeoutMs) {
    if (state_ == State::Failed)
        return;
    mosquitto *client = client_;
    pollfd fds[2] = {{mosquitto_socket(client), POLLIN, 0}, {wake, POLLIN, 0}};
    if (mosquitto_want_write(client))
        fds[0].events |= POLLOUT;
    ::poll(fds, 2, timeoutMs);
    if (state_ == State::Connecting && fds[0].fd >= 0 && (fds[0].revents & (POLLERR | POLLHUP))) {
        // A connection the broker's host refused: the library would go on waiting for it.
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(fds[0].fd, SOL_SOCKET, SO_ERROR, &error, &length);
        errno = error ? error : ECONNREFUSED;
        failWith(MOSQ_ERR_ERRNO);
        return;
    }
    const int code = mosquitto_loop(client, 0, 1);
    if (code != MOSQ_ERR_SUCCESS)
        failWith(code);
}

int BrokerConnection::publishStatus(const QByteArray &payload) {
    if (state_ != State::Connected)
        return -1;
    int id = -1;
    const int code = mosquitto_publish(client_, &id, setup_.statusTopic.constData(),
                                       int(payload.size()), payload.constData(), 1, true);
    if (code != MOSQ_ERR_SUCCESS) {
        failWith(code);
        return -1;
    }
    statusId_ = id;
    statusTaken_ = false;
    return id;
}

std::vector<int> BrokerConnection::takeAcknowledged() {
    std::vector<int> ids;
    ids.swap(acknowledged_);
    return ids;
}

void BrokerConnection::onConnect(mosquitto *, void *self, int code) {
    auto &c = *static_cast<BrokerConnection *>(self);
    if (code == 0) {
        c.state_ = State::Connected;
        return;
    }
    // 4: a wrong user name or password; 5: not authorised.
    const QString answer = QString::fromUtf8(mosquitto_connack_string(code));
    c.fail(code == 4 || code == 5
               ? QStringLiteral("the broker %1 refused the user name or password (%2)")
                     .arg(c.setup_.broker.text(), answer)
               : QStringLiteral("the broker %1 refused the connection (%2)")
                     .arg(c.setup_.broker.text(), answer));
}

void BrokerConnection::onDisconnect(mosquitto *, void *self, int code) {
    auto &c = *static_cast<BrokerConnection *>(self);
    if (c.state_ != State::Failed)
        c.failWith(code == 0 ? MOSQ_ERR_CONN_LOST : code);
}

void BrokerConnection::onPublish(mosquitto *, void *self, int id) {
    auto &c = *static_cast<BrokerConnection *>(self);
    if (id == c.statusId_)
        c.statusTaken_ = true;
    else
        c.acknowledged_.push_back(id);
}

void BrokerConnection::onLog(mosquitto *, void *self, int level, const char *text) {
    if (level == MOSQ_LOG_ERR)
        static_cast<BrokerConnection *>(self)->lastError_ = QString::fromUtf8(text);
}
