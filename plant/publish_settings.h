#pragma once

#include "plant/broker_address.h"

#include <QByteArray>
#include <QString>

// How a station publishes its records: to which broker, with which secret and trust, under
// which station name, through which outbox.
struct PublishSettings {
    BrokerAddress broker; // no host: the station does not publish
    QString password;     // from the environment; empty for none
    QString passwordFile; // read at each connection, so that a mended file counts at once
    // The password file is the service's credential ($CREDENTIALS_DIRECTORY), named by no option.
    bool passwordCredential = false;
    QString caFile;   // trusted instead of the system's authorities; empty for those
    QString certFile; // the station's own certificate, for a broker that asks for one
    QString keyFile;  // and its key
    QString station;  // "station" in each record, and the level of its status topic
    QString outbox;   // the folder; empty for the one under $XDG_STATE_HOME

    bool enabled() const { return !broker.host.isEmpty(); }
    bool operator==(const PublishSettings &other) const;
    bool operator!=(const PublishSettings &other) const { return !(*this == other); }
};

// The outbox's folder: the one given, else one for the broker and topic in outbox/ of the state
// folder (StateFolder()), so that records wait for the broker and topic they were meant for, and
// stations publishing elsewhere never mix them (localhost_1883_plant_line1-f2d441e3).
QString OutboxFolder(const PublishSettings &settings);

// The secret on the first line of a small regular file, without its line end; false with why.
// The file is never waited on (a pipe, a device) and read only up to a bound; one that others
// than its owner may read is refused, and `exposed` says so.
bool ReadSecretFile(const QString &path, QString *secret, QString *why, bool *exposed = nullptr);

// What is wrong with the settings before anything is made.
struct PublishCheck {
    QString why;          // empty when they are sound
    bool exposed = false; // a secret others may read: the set-up's fault, as a usage error is
};
// A password file, an authority, a certificate or a key that cannot be read, a secret others may
// read, an outbox that is no folder.
PublishCheck CheckPublishSettings(const PublishSettings &settings);

// Where the station keeps its state on the broker: the records' topic with its last level
// replaced by status/STATION ("plant/line1/records", "ST-1": "plant/line1/status/ST-1").
QString StatusTopic(const PublishSettings &settings);
// The broker's client id: the same for a station and a topic at each connection and in each
// run, so that the broker knows it again; within the 23 characters every broker takes.
QByteArray ClientId(const PublishSettings &settings);
