#pragma once

#include "plant/broker_address.h"

#include <QString>

// How a station publishes its records: to which broker, with which secret and trust, under
// which station name, through which outbox.
struct PublishSettings {
    BrokerAddress broker; // no host: the station does not publish
    QString password;     // from the environment; empty for none
    QString passwordFile; // read at each connection, so that a mended file counts at once
    QString caFile;       // trusted instead of the system's authorities; empty for those
    QString station;      // "station" in each record
    QString outbox;       // the folder; empty for the one under $XDG_STATE_HOME

    bool enabled() const { return !broker.host.isEmpty(); }
    bool operator==(const PublishSettings &other) const;
    bool operator!=(const PublishSettings &other) const { return !(*this == other); }
};

// The outbox's folder: the one given, else one for the broker and topic in outbox/ of the state
// folder (StateFolder()), so that records wait for the broker and topic they were meant for, and
// stations publishing elsewhere never mix them (localhost_1883_plant_line1-f2d441e3).
QString OutboxFolder(const PublishSettings &settings);

// The secret on the first line of a small regular file, without its line end; false with why.
// The file is never waited on (a pipe, a device) and read only up to a bound.
bool ReadSecretFile(const QString &path, QString *secret, QString *why);

// What is wrong with the settings before anything is made: a password file or an authority
// that cannot be read, an outbox that is no folder. Empty when they are sound.
QString CheckPublishSettings(const PublishSettings &settings);
