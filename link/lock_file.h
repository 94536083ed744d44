#pragma once

#include <QString>

#include <functional>

#include <sys/types.h>

// The lock file by which serial programs on one machine tell each other that a port is taken:
// "LCK.." and the device's name under /dev ('/' written as '_'), in the first lock folder that
// can hold it (the folders QSerialPort looks in, in its order). It holds its owner's PID as ten
// ASCII digits and a newline; programs of old wrote the PID as a binary int.
class PortLockFile {
public:
    using NoteSink = std::function<void(const QString &)>;

    // The lock of `device`, the device node's own path (never a link to it). Nothing is touched
    // yet; empty path() when no lock folder can take a lock.
    explicit PortLockFile(const QString &device);
    // Lets go of the lock if this took it and it is still ours.
    ~PortLockFile();
    PortLockFile(const PortLockFile &) = delete;
    PortLockFile &operator=(const PortLockFile &) = delete;

    QString path() const { return path_; }
    // The place of the lock holds something that is no lock (a folder): no lock is written.
    bool placeHoldsNoLock() const { return noLock_; }

    // Takes the lock for this process. A lock whose PID is alive refuses: the reason (naming the
    // lock file, the PID and its program) is returned. A lock of no live process is removed, with
    // a word to `note`. Empty when the lock is ours, or when no lock can be written at all.
    QString take(const NoteSink &note);
    // As take(), but leaves the place empty for a toolkit that writes its own lock.
    QString clear(const NoteSink &note);

private:
    enum class Placed { Ours, Taken, Failed };
    Placed place(const NoteSink &note);
    // Empty when the lock in place was stale and is gone (or was gone already).
    QString judge(const NoteSink &note);

    QString path_;
    bool owned_ = false;
    bool noLock_ = false; // the place holds something that is no lock (a directory)
    dev_t ownDevice_ = 0;
    ino_t ownInode_ = 0;
};

// Where the lock of `device` lives, or empty when no lock folder can take it.
QString LockFilePathOf(const QString &device);

// A live lock on the port under a name other than the one our lock takes: the name it was given
// (`given`, as a program started on a link writes it), the device's (as a program that writes
// only its last part does), and its links in /dev/serial/by-id and /dev/serial/by-path, in every
// lock folder. The reason it is refused (naming the lock, the PID and its program), or empty.
QString LiveLockOfAnotherName(const QString &device, const QString &given);
