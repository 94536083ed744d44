#pragma once

#include <QString>

#include <mutex>

// A station's own count of its records, one more for each, kept in the state folder across runs
// and restarts, so that the plant sees a gap in a station's numbers as a record it is missing.
// Each number is on the disk before it is given, so none is given twice, not after a crash or
// a power cut either; and the count's file is locked while a number is taken, so that it is one
// count for every process of the station, whichever of them numbers a record. Any thread may
// number.
class RecordSequence {
public:
    // The count of `station` in `folder`: by default stations/ in the state folder.
    explicit RecordSequence(const QString &station, const QString &folder = QString());
    ~RecordSequence();
    RecordSequence(const RecordSequence &) = delete;
    RecordSequence &operator=(const RecordSequence &) = delete;

    // The next number; false with why when it could not be kept.
    bool next(qint64 *number, QString *why);
    // The file that holds the last number given.
    QString path() const;

private:
    bool open(QString *why);
    bool last(qint64 *number, QString *why) const;
    bool keep(qint64 number, QString *why) const;

    std::mutex mutex_; // the file's lock is the process's, not a thread's
    QString folder_;
    QString name_;
    int fd_ = -1; // the count, and its lock
};
