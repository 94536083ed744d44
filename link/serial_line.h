#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

// What the serial component asks of the system's port. Two backends give it: the POSIX one reads
// and writes the descriptor itself (the fast path on Linux); the portable one uses only
// QSerialPort's own API (the path of every other platform). Every failure is a CommError.
class SerialLine {
public:
    virtual ~SerialLine() = default;

    // Appends every byte waiting to `into`; while `into` holds fewer than `wanted` bytes, waits
    // for more, up to `limit` in all. DeviceLost when the line was hung up.
    virtual void read(QByteArray &into, qsizetype wanted, std::chrono::nanoseconds limit) = 0;
    // Hands every byte to the system, in order, before it returns.
    virtual void write(const QByteArray &bytes) = 0;
    // Bytes written that have not yet left.
    virtual int pendingOutput() = 0;
    // Drops every byte received and not yet read, the system's included.
    virtual void discardInput() = 0;
};

// A device that takes none of our output for this long has stopped reading.
inline constexpr std::chrono::seconds WriteStallLimit{5};

// The line settings as the component's Settings text gives them ("115200,E,8,1").
struct LineSettings {
    enum class Parity { None, Even, Odd, Mark, Space };
    enum class StopBits { One, OneAndHalf, Two };
    qint32 baud = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;
};

// False for a text that names no line settings.
bool ParseLineSettings(const QString &text, LineSettings *out);

// Opens `path` with the whole line state set as `settings` say, whatever an earlier program left
// there, and takes the device for this program alone. OpenFailed when it cannot.
using SerialLineOpener =
    std::function<std::unique_ptr<SerialLine>(const QString &path, const LineSettings &settings)>;

// A word for the operator on something the opening did on its way (a stale lock removed); the
// link prints nothing itself.
using LineNoteSink = std::function<void(const QString &)>;

// What an opening asks of the device it opened, on the open descriptor, before it touches it (no
// setting, no byte): a name may lead elsewhere a moment after it was looked at.
struct PortCheck {
    // Why the device with these numbers (st_rdev) is no board's port ("the terminal of process
    // 812 (bash)"); empty when it may be one. Unset: the device is taken as the operator named it.
    std::function<QString(quint64 number)> judge;
    // The device node found before (its numbers and inode): the one opened must be that very
    // node. Zero: whatever the name leads to as it opens.
    quint64 number = 0;
    quint64 inode = 0;
    // How long another process that has the device open is waited for before the port is
    // refused (a watch lets a probe end); zero refuses at once. `giveUp` cuts the wait short.
    std::chrono::milliseconds holderWait{0};
    std::function<bool()> giveUp;
};

// The backend this build was made with.
std::unique_ptr<SerialLine> OpenSerialLine(const QString &path, const LineSettings &settings,
                                           const LineNoteSink &note = {},
                                           const PortCheck &check = {});
