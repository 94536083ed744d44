#pragma once

#include <QString>

// Where the records go: the plant's broker and the topic, as mqtt://[user@]host[:port]/topic or
// mqtts://... names them.
struct BrokerAddress {
    bool tls = false;
    QString user; // empty for none
    QString host;
    int port = 0;
    QString topic;

    bool operator==(const BrokerAddress &other) const;
    bool operator!=(const BrokerAddress &other) const { return !(*this == other); }
    // As it was given, with the port always shown: the broker's name in messages.
    QString text() const;
    // As a URL that ParseBrokerAddress reads back, the topic's spaces escaped.
    QString url() const;
};

// Reads `url` into `into`; empty when it is sound, else what is wrong with it.
QString ParseBrokerAddress(const QString &url, BrokerAddress *into);
