#pragma once

#include "link/serial_line.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// The serial component. Callers poll it: they read InBufferCount, pause, and read Input; nothing
// here needs a running event loop. Every failure is raised as a CommError.
class TMSComm {
public:
    enum InputModes { comInputModeText = 0, comInputModeBinary = 1 };
    enum class Direction { Sent, Received };
    using TraceSink = std::function<void(Direction, const QByteArray &)>;

    TMSComm();
    ~TMSComm();
    TMSComm(const TMSComm &) = delete;
    TMSComm &operator=(const TMSComm &) = delete;

    // true opens port CommPort with the settings below (a CommError if it cannot be opened);
    // false closes it.
    bool PortOpen() const;
    void setPortOpen(bool open);

    // 1..10; taken when the port next opens.
    int CommPort() const { return commPort_; }
    void setCommPort(int port);

    // "baud,parity,data bits,stop bits", e.g. "115200,E,8,1"; taken when the port next opens.
    QString Settings() const { return settings_; }
    void setSettings(const QString &settings);

    // Kept for the property set; the receive side never drops bytes whatever they say.
    int InBufferSize() const { return inBufferSize_; }
    void setInBufferSize(int size) { inBufferSize_ = size; }
    int OutBufferSize() const { return outBufferSize_; }
    void setOutBufferSize(int size) { outBufferSize_ = size; }

    int InputMode() const { return inputMode_; }
    void setInputMode(int mode);
    // Most bytes one Input read returns; 0 means all that are waiting.
    int InputLen() const { return inputLen_; }
    void setInputLen(int length);

    // Bytes received and waiting. Writing 0 discards them, here and in the kernel.
    int InBufferCount();
    // The bytes InBufferCount last counted, left waiting: what a failed wait tells the operator.
    QByteArray Waiting() const { return received_; }
    void setInBufferCount(int count);

    // Bytes written that have not yet left. Writing 0 waits until they have left: what the tool
    // has written is never thrown away.
    int OutBufferCount() const;
    void setOutBufferCount(int count);

    // Sends the bytes in order, nothing added; returns once all are handed to the kernel.
    void setOutput(const QByteArray &data);
    // Up to InputLen waiting bytes (one character in text mode as the port opens).
    QByteArray Input();

    // The pause between two polls: up to the poll pause (1 ms), over at once when `wanted` bytes
    // are waiting, so a reply is seen as soon as it is complete.
    void PollPause(int wanted);
    // The one seam for tests of long waits: shortens the pause; poll counts stay as they are.
    void setPollPause(std::chrono::microseconds pause) { pollPause_ = pause; }
    std::chrono::microseconds pollPause() const { return pollPause_; }

    // A wait of many polls as one wait, for a station's boards: it ends when the wanted bytes
    // are waiting or the polls' whole time (their count times the poll pause) has passed, and
    // is cut into slices of at most `slice`, between which the caller handles its events (its
    // stop flag). Zero, the default: every poll pauses on its own, as the window polls.
    void setWaitSlice(std::chrono::milliseconds slice) { waitSlice_ = slice; }
    std::chrono::milliseconds waitSlice() const { return waitSlice_; }
    // Waits up to `limit` for `wanted` bytes in all.
    void WaitInput(int wanted, std::chrono::nanoseconds limit);

    // How long the adapter behind the open port holds the device's answers, where the system
    // says so; none for a port that says nothing (a pseudo-terminal, a built-in port).
    std::optional<std::chrono::milliseconds> AdapterLatency() const { return adapterLatency_; }

    // When set, names the device to open instead of the one CommPort maps to.
    void setPortPath(const QString &path) { portPath_ = path; }
    QString portPath() const { return portPath_; }
    // Where COM n leads: the device, or why nothing is there. The front end knows the system's
    // ports and their numbers; it is asked each time the port opens, so that a port plugged in
    // meanwhile is found. Without it, CommPort opens DevicePathFor.
    struct PortTarget {
        QString device; // empty when nothing is there
        QString whyNone;
        // The operator pointed the number at this device themselves: it is opened as asked,
        // not judged as a board's port.
        bool byHand = false;
    };
    using PortResolver = std::function<PortTarget(int port)>;
    void setPortResolver(PortResolver resolve) { resolve_ = std::move(resolve); }
    // The platform's own name for COM n: "COMn" on Windows, /dev/ttyS(n-1) elsewhere.
    static QString DevicePathFor(int port);

    // Sees every byte sent and received, for a trace of the wire.
    void setTraceSink(TraceSink sink) { trace_ = std::move(sink); }

    // What opens the system's port; the build's backend unless a test gives a line of its own.
    void setLineOpener(SerialLineOpener opener) { opener_ = std::move(opener); }
    // Hears the backend's words on an opening (a stale lock removed).
    void setNoteSink(LineNoteSink sink) { note_ = std::move(sink); }
    // What each opening asks of the device it opened before it touches it. Its judge is left
    // out for a COM number the operator pointed at a device by hand.
    void setPortCheck(PortCheck check) { check_ = std::move(check); }

private:
    void requireOpen(const char *what) const;
    void closePort();
    PortTarget comTarget() const;
    template <class Use> auto use(Use &&action);

    std::unique_ptr<SerialLine> line_;
    SerialLineOpener opener_;
    QByteArray received_;
    int commPort_ = 1;
    QString settings_ = QStringLiteral("9600,N,8,1");
    int inBufferSize_ = 1024;
    int outBufferSize_ = 512;
    int inputMode_ = comInputModeText;
    int inputLen_ = 0;
    std::chrono::microseconds pollPause_{1000};
    std::chrono::milliseconds waitSlice_{0};
    std::optional<std::chrono::milliseconds> adapterLatency_;
    QString portPath_;
    PortResolver resolve_;
    TraceSink trace_;
    LineNoteSink note_;
    PortCheck check_;
};
