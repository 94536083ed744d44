#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

class BrokerConnection;
class Outbox;

// The records of one connection to the broker, on their way out of the outbox: those held in
// memory to go next, oldest first, and those sent and not yet acknowledged. What was sent and
// not acknowledged when the connection ends stays in the outbox, and goes again on the next.
class Delivery {
public:
    Delivery(Outbox &outbox, BrokerConnection &connection)
        : outbox_(outbox), connection_(connection) {}

    // Records just written into the outbox, as the station hands them over.
    void take(std::vector<std::string> names);
    // Takes out of the outbox what the broker acknowledged; how many records that was.
    qint64 settle();
    // Once nothing is held: the outbox's oldest records from the disk, when more wait there than
    // are on their way, or when other stations may have put records there since the last look.
    void look();
    // Sends held records while fewer than a hundred are unacknowledged. A file that is no record
    // is set aside, and said in `notes`.
    void send(QStringList *notes);
    // Removes some records the broker took from the disk, when nothing else is to be done.
    void sweep();

    // How long the connection may wait for the network before the next step. While anything is
    // under way the library is given a turn often: what TLS has already read shows on no
    // descriptor. Sweeping is done only once connected, and by the station that delivers the
    // outbox: a broker that takes the connection and never answers, or another station that
    // delivers, must not keep the thread turning without a pause.
    int pauseMs(bool connected, bool delivering) const;
    // Whether records were sent that the broker has not acknowledged yet.
    bool unacknowledged() const { return !sent_.empty(); }

private:
    bool sweeping() const { return sweep_ && held_.empty() && sent_.empty(); }

    Outbox &outbox_;
    BrokerConnection &connection_;
    std::set<std::string> held_;      // waiting, oldest first
    std::map<int, std::string> sent_; // message id -> record
    std::chrono::steady_clock::time_point lastLook_{};
    bool sweep_ = true; // delivered records may be left on the disk
};
