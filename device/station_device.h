#pragma once

#include "device/device_machine.h"
#include "device/pty_line.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class ImageStore;

// One device as the program runs it: its own state machine, image store, pseudo-terminal and,
// when asked for, a symbolic link to the terminal. Like a board on a production station it can be
// unplugged (its line hung up, its link removed) and plugged in again: a fresh terminal under the
// same link and a device that starts from nothing but what its flash (the store) keeps.
class StationDevice {
public:
    using Clock = DeviceMachine::Clock;
    using Time = DeviceMachine::Time;
    using Say = std::function<void(const QString &)>;

    enum class State {
        Serving,
        Unplugged,
        Finished, // hung up (hangup-after), or served its one operation (--once)
        Failed,   // its line failed under it
    };

    // Bytes of answers the line has not taken yet, beyond which the tool's input is dropped: a
    // tool that floods the device and never reads costs it no more than this.
    static constexpr qsizetype UnsentLimit = 64 * 1024;

    // `say` reports to the operator; `trace` is given to every machine the device runs.
    StationDevice(const DeviceSettings &settings, std::unique_ptr<ImageStore> store, QString link,
                  Say say, DeviceMachine::TraceSink trace);
    ~StationDevice();
    StationDevice(const StationDevice &) = delete;
    StationDevice &operator=(const StationDevice &) = delete;

    // False with the reason in *error.
    bool plugIn(QString *error);
    void unplug();

    State state() const { return state_; }
    QString slavePath() const { return line_.slavePath(); }
    QString link() const { return link_; }
    // The last tool has closed the port: its exclusive mode goes, as on a real port, its next
    // request is a new operation's, and faults given meanwhile take hold.
    void toolsClosed() {
        if (state_ == State::Serving)
            line_.releaseExclusive();
        if (machine_)
            machine_->toolLetGo();
        takeFaults(true);
    }
    // The faults the device is to have: from its next operation on, at once when it is between
    // operations, else as soon as its operation has ended or its tool has let the port go.
    void setFaults(const DeviceFaults &faults);
    DeviceFaults faults() const { return nextFaults_ ? *nextFaults_ : settings_.faults; }
    // The line to poll and what to wait for on it; -1 while there is none.
    int fd() const { return state_ == State::Serving ? line_.master() : -1; }
    short pollEvents() const;
    // When step() next has something to do without the line.
    std::optional<Time> nextWake() const;

    // Takes what the poll found on the line (`revents`, 0 for nothing) and what is due by `now`,
    // writes what the line takes, and ends the device when it is done. `buffer` is scratch space
    // for reading.
    void step(short revents, Time now, bool once, char *buffer, qsizetype bufferSize);

private:
    void takeInput(Time now, char *buffer, qsizetype bufferSize);
    bool writeSome();
    void reportDrops(Time now, bool last);
    // Gives the device the faults set for it, with a machine of its own made for them, once it
    // is between operations or (`toolGone`) nobody holds its port.
    void takeFaults(bool toolGone);
    void makeMachine();
    void end(State state, const QString &why);

    DeviceSettings settings_;
    std::unique_ptr<ImageStore> store_;
    QString link_;
    Say say_;
    DeviceMachine::TraceSink trace_;

    State state_ = State::Unplugged;
    PtyLine line_;
    std::unique_ptr<DeviceMachine> machine_;
    int operationsBefore_ = 0; // ended by the machines that came before this one since plug-in
    std::optional<DeviceFaults> nextFaults_;
    QByteArray unsent_;
    std::optional<Time> lingerUntil_;
    std::optional<Time> nextLingerCheck_;
    qint64 dropped_ = 0; // input dropped here, on top of what the machine dropped
    qint64 droppedReported_ = 0;
    std::optional<Time> nextDropReport_;
};
