#pragma once

#include <QByteArray>
#include <QString>

// What the plant sees of a station on the broker beside its records: a retained message on its
// status topic (StatusTopic()), so that whoever subscribes, even later, learns whether it runs.
struct StationStatus {
    bool online = true;
    QString station;
    int running = 0;    // boards running now
    qint64 done = 0;    // boards ended since the station started
    qint64 backlog = 0; // records waiting in its outbox
};

// {"state":"online","station":"ST-1","tool":"torvane-cli 1.4.0","running":2,"done":17,
// "backlog":0,"time":"2024-05-01T10:00:00.000Z"}; "offline" once the station ends.
QByteArray StatusMessage(const StationStatus &status);
// What the broker puts on the status topic when the station is gone without a word (killed, its
// cable pulled): {"state":"offline","station":"ST-1","tool":"torvane-cli 1.4.0"}. It carries no
// time or counts: the broker sends it as it was left when the station connected.
QByteArray LastWill(const QString &station);
