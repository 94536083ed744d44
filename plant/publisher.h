#pragma once

#include "plant/broker_connection.h"
#include "plant/name_lookup.h"
#include "plant/process_lock.h"
#include "plant/publish_settings.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class Delivery;
class Outbox;

// What the station shows of its publishing.
struct PublishState {
    qint64 waiting = 0;   // records in the outbox
    qint64 delivered = 0; // records the broker took since the start
    qint64 notKept = 0;   // records the outbox had no room for, or could not write
    QString why;          // why records wait; empty while the broker takes them
};

// The counts in a few words, for a status line: "records: 12 published, 3 waiting for the
// broker"; why they wait is in the notes.
QString PublishStateText(const PublishState &state);

// Publishes the station's records to the plant's broker, and the station's state beside them.
// Each record goes into the outbox first, on the disk, from the thread that hands it over (a
// board's, in a moment); a thread of the publisher's own delivers the outbox, oldest first, and
// takes each record out only once the broker has acknowledged it. A broker that is away, refuses
// the password or fails the certificate makes records wait, never a board: the publisher tries
// again, sooner at first and then every half minute, with the password file read anew each time.
// One process of a station is connected at a time, under the station's own client id; the
// station's status is "online" on the broker while it is, and "offline" once it ends, by its own
// word or by its last will.
class Publisher {
public:
    explicit Publisher(PublishSettings settings);
    // Stops at once: what has not been acknowledged stays in the outbox for the next run.
    ~Publisher();
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    // Opens the outbox (making its folder) and starts delivering it; false with why.
    bool start(QString *why);

    // Any thread: the record, which carries its "id", into the outbox and on its way; false with
    // why when the outbox did not take it (it is full, or the disk failed).
    bool add(const QJsonObject &record, QString *why);
    // Any thread: a board began, a board ended; the station's status counts them.
    void boardBegan();
    void boardEnded();

    // Whether the station writes a report, where a record the outbox has no room for is still
    // kept: what a full outbox says depends on it.
    void setReported(bool reported);

    // Waits while the broker takes records, until none waits, the broker is away or has taken
    // none for two seconds, or `patience` has passed; then says the station offline and stops
    // delivering.
    void finish(std::chrono::milliseconds patience);

    PublishState state() const;
    // What changed that the station should say, each once: the broker away and why, the broker
    // back, the outbox full.
    QStringList takeNotes();
    const PublishSettings &settings() const { return settings_; }
    QString folder() const;

private:
    void noteOutboxes();
    void deliver();
    // Whether this process may connect for its station: no other process of it is connected.
    bool holdStation();
    // Delivery, one connection at a time; returns when it failed or the publisher stops.
    bool connectAndSend(); // whether it connected
    // The connection's set-up, the password file read anew; none when it cannot be read.
    std::optional<BrokerConnection::Setup> connectionSetup();
    // Whether the broker's host name was found by `deadline`.
    bool lookUp(std::chrono::steady_clock::time_point deadline);
    // Whether the connection is up; false when it failed or was not made by `deadline`.
    bool connectionUp(const BrokerConnection &connection, const Delivery &delivery,
                      std::chrono::steady_clock::time_point deadline, bool *given);
    // Whether this station delivers the outbox, looked at again every two seconds while another
    // one does.
    bool delivers();
    // The station's status on the broker: at once, at each change (at most each second) and
    // each minute.
    void sayStatus(BrokerConnection &connection);
    // "offline", waited for a moment: the broker takes the station's own word before it goes.
    void sayOffline(BrokerConnection &connection);
    QByteArray statusNow(bool online);
    // The records handed over since the last look; false once the publisher stops.
    bool takeIncoming(std::vector<std::string> *came);
    // Counts the records the broker took.
    void acknowledged(qint64 count);
    bool stopping() const;
    void rest(std::chrono::steady_clock::duration time);
    void drainWake();
    void note(const QString &text);
    void setWhy(const QString &why);
    // What the deliverer waits for: the reason records wait when the run ends meanwhile.
    void setStage(const QString &stage);
    // What the end says of the records left in the outbox.
    void noteLeft(bool stalled);
    void wake();

    PublishSettings settings_;
    std::unique_ptr<Outbox> outbox_;
    int wake_[2] = {-1, -1}; // a pipe: a record came, a board began or ended, or the end came

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> incoming_; // records added since the deliverer last looked
    QStringList notes_;
    PublishState state_;
    QString stage_;
    int running_ = 0;
    qint64 done_ = 0;
    bool statusChanged_ = false;
    bool stopping_ = false;
    bool fullSaid_ = false;
    bool reported_ = false;

    // The deliverer's.
    ProcessLock station_;
    NameLookup lookup_;
    std::chrono::steady_clock::time_point statusSaid_{};
    std::chrono::steady_clock::time_point deliveryLook_{};
    qint64 backlogSaid_ = -1;
    std::thread thread_;
};
