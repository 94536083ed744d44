#pragma once

#include "plant/process_lock.h"
#include "plant/record_seal.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <string>
#include <vector>

// The records that wait for the broker, one file each in a folder of their own. A record is
// written whole under a hidden name, synced, renamed into place and the folder synced: it is in
// the outbox whole or not at all, whatever moment the station is killed or the power goes. It
// leaves only when the broker has taken it. Names sort by the time a record came, so the oldest
// go out first; several stations may put records into one outbox, and one at a time delivers
// it (the one that holds its lock). A record the broker took is moved aside into delivered/ at
// once, where it is never sent again, and removed from there while the deliverer has nothing
// else to do: removing a file can take milliseconds (a disk that trims what is freed), and the
// records waiting behind it should not. Each record's name bears the outbox's seal (RecordSeal):
// what is sent is only ever a record the outbox wrote.
class Outbox {
public:
    // About a hundred thousand records: days of a plant's stations with the broker away.
    static constexpr qint64 DefaultLimit = 100000;

    // `keyFile` holds the key of the records' seals, made when it is not there.
    Outbox(QString folder, QString keyFile, qint64 limit = DefaultLimit);
    ~Outbox();
    Outbox(const Outbox &) = delete;
    Outbox &operator=(const Outbox &) = delete;

    // Makes the folder (for this user alone) when it is not there, and counts what waits in it;
    // false with why.
    bool open(QString *why);

    enum class Added { Kept, Full, Failed };
    // Any thread: `payload` as the record called `id`; its name in the outbox goes to `name`.
    // A full outbox keeps what it holds and takes no more.
    Added add(const QByteArray &payload, const QString &id, std::string *name, QString *why);

    // The deliverer's: the oldest `most` names, and how many records wait in all (other
    // stations' too). A hidden file that a killed station left half-written is removed.
    std::vector<std::string> oldest(size_t most);
    // A record as the outbox wrote it: whole JSON, with the id its name gives, and sealed.
    struct Read {
        enum class Verdict {
            Record,
            Gone,       // delivered by another station
            Unreadable, // no regular file, too large, or the system refused it
            Refused,    // not a record this outbox wrote: `why` says what it is
        };
        Verdict verdict = Verdict::Gone;
        QByteArray payload;
        QString why;
    };
    Read read(const std::string &name) const;
    // The broker has taken it.
    void remove(const std::string &name);
    // Removes up to `most` records the broker took; false once none is left.
    bool sweep(int most);
    // A file that cannot be read or is no record is kept beside the others under its name and
    // `suffix` (".unreadable"), no longer sent.
    bool setAside(const std::string &name, const char *suffix); // false: it was gone
    // Whether this station delivers the outbox: it holds its lock, or takes it now.
    bool deliver();
    bool delivers() const { return delivering_; }
    // The process that holds the lock when another does; 0 when unknown.
    qint64 deliverer() const;

    qint64 count() const { return count_.load(); }
    qint64 limit() const { return limit_; }
    const QString &folder() const { return folder_; }

private:
    QString folder_;
    RecordSeal seal_;
    qint64 limit_;
    int dir_ = -1;
    int delivered_ = -1; // delivered/
    ProcessLock lock_;
    bool delivering_ = false;
    std::atomic<qint64> count_{0};
};
