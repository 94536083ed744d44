#pragma once

#include <QString>

// A lock that one process holds at a time, the holder's process id written in it for the others
// to name. The system lets it go when its process ends, however it ends.
class ProcessLock {
public:
    explicit ProcessLock(QString path) : path_(std::move(path)) {}
    ~ProcessLock();
    ProcessLock(const ProcessLock &) = delete;
    ProcessLock &operator=(const ProcessLock &) = delete;

    // Opens the lock's file, making it (for this user alone) when it is not there; false with
    // why.
    bool open(QString *why);
    // Whether this process holds the lock: it did already, or takes it now.
    bool take();
    // The process that holds it when another does; 0 when unknown.
    qint64 holder() const;
    const QString &path() const { return path_; }

private:
    QString path_;
    int fd_ = -1;
    bool held_ = false;
};
