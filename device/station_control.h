#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

// The station's control: a named pipe that takes one command a line, so that a test, a script
// or a person trying a station can take a board off the station and put it back ("unplug K",
// "plug K", K the device's index), and give a board a fault or take its faults away between
// runs ("fault K NAME[=ARG]", as --fault names them, or "fault K none"). The pipe is made on
// open() and removed with the object.
class StationControl {
public:
    struct Command {
        enum class Kind { Plug, Unplug, Fault };
        Kind kind = Kind::Plug;
        int device = 0;
        QString fault; // NAME or NAME=ARG, checked; "none" takes every fault away
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
