#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

// The station's control: a named pipe that takes one command a line, "unplug K" or "plug K"
// (K the device's index), so that a test or a script can take a board off the station and put
// it back. The pipe is made on open() and removed with the object.
class StationControl {
public:
    struct Command {
        bool plug = false; // else unplug
        int device = 0;
    };
    using Say = std::function<void(const QString &)>;

    StationControl(QString path, int deviceCount, Say say);
    ~StationControl();
    StationControl(const StationControl &) = delete;
    StationControl &operator=(const StationControl &) = delete;

    // False with the reason in *error; a pipe left by an earlier run is replaced, any other file
    // of that name refused.
    bool open(QString *error);
    int fd() const { return fd_; }
    QString path() const { return path_; }
    // The commands among what has come; a line that is none is reported and skipped.
    std::vector<Command> take();

private:
    void parse(const QByteArray &line, std::vector<Command> &commands);

    QString path_;
    int deviceCount_;
    Say say_;
    int fd_ = -1;
    QByteArray pending_; // the start of a line still coming
    bool overlong_ = false;
};
