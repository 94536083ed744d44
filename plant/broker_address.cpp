#include "plant/broker_address.h"

#include <QUrl>

namespace {

constexpr int MqttPort = 1883;
constexpr int MqttsPort = 8883;
// A topic's length is a 16-bit count of its bytes on the wire.
constexpr int MaxTopicBytes = 65535;

} // namespace

bool BrokerAddress::operator==(const BrokerAddress &other) const {
    return tls == other.tls && user == other.user && host == other.host && port == other.port &&
           topic == other.topic;
}

QString BrokerAddress::text() const {
    const QString name = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1://%2%3:%4/%5")
        .arg(tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"),
             user.isEmpty() ? QString() : user + QLatin1Char('@'), name, QString::number(port),
             topic);
}

QString BrokerAddress::url() const {
    QUrl url;
    url.setScheme(tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"));
    url.setUserName(user);
    url.setHost(host);
    url.setPort(port);
    url.setPath(QLatin1Char('/') + topic);
    return url.toString(QUrl::FullyEncoded);
}

QString ParseBrokerAddress(const QString &url, BrokerAddress *into) {
    const QString example = QStringLiteral("mqtt://[user@]host[:port]/topic or mqtts://...");
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid())
        return QStringLiteral("'%1' is no broker address: %2").arg(url, example);
    BrokerAddress address;
    const QString scheme = parsed.scheme().toLower();
    if (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts"))
        return QStringLiteral("'%1' is no broker address: %2").arg(url, example);
    address.tls = scheme == QLatin1String("mqtts");
    // A password on the command line is seen by every user of the machine (ps, /proc).
    if (!parsed.password().isEmpty())
        return QStringLiteral("the broker's password never goes on the command line: put it in "
                              "TORVANE_PUBLISH_PASSWORD or a file for --publish-password-file");
    address.user = parsed.userName();
    address.host = parsed.host();
    if (address.host.isEmpty())
        return QStringLiteral("'%1' names no broker host: %2").arg(url, example);
    address.port = parsed.port(address.tls ? MqttsPort : MqttPort);
    if (address.port <= 0)
        return QStringLiteral("'%1' has no usable port").arg(url);
    if (parsed.hasQuery() || parsed.hasFragment())
        return QStringLiteral("'%1': a broker address has no '?' or '#' part; the topic is its "
                              "path")
            .arg(url);
    address.topic = parsed.path(QUrl::FullyDecoded).mid(1);
    if (address.topic.isEmpty())
        return QStringLiteral("'%1' names no topic: %2").arg(url, example);
    // Wildcards are for subscribers: a record goes to one topic.
    if (address.topic.contains(QLatin1Char('+')) || address.topic.contains(QLatin1Char('#')) ||
        address.topic.contains(QChar(0)))
        return QStringLiteral("the topic '%1' holds '+', '#' or a NUL: a record is published to "
                              "one topic, without wildcards")
            .arg(address.topic);
    // The broker's own ($SYS/...): it takes a station's records there and drops them.
    if (address.topic.startsWith(QLatin1Char('$')))
        return QStringLiteral("the topic '%1' begins with '$': such topics ($SYS/...) are the "
                              "broker's own, and it takes no records there")
            .arg(address.topic);
    if (address.topic.toUtf8().size() > MaxTopicBytes)
        return QStringLiteral("the topic is longer than %1 bytes").arg(MaxTopicBytes);
    *into = address;
    return QString();
}
