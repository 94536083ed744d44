#pragma once

#include "device/device_machine.h"
#include "device/image_store.h"
#include "link/serial_line.h"

#include <QByteArray>
#include <QString>

#include <memory>

// A serial line in memory with the device's own state machine on the other end, on a clock of
// its own: a wait for bytes passes its time at once, so a 100,000-poll wait costs no real time.
// For fast tests of the operations and for fuzzing them; the programs' tests use real ptys.
class ScriptedDevice {
public:
    using Time = DeviceMachine::Time;

    explicit ScriptedDevice(const DeviceSettings &settings = {});

    // For TMSComm::setLineOpener: every opening reaches this device.
    SerialLineOpener opener();

    DeviceMachine &machine() { return machine_; }
    MemoryImageStore &store() { return store_; }
    // Everything the tool has written, in order.
    const QByteArray &written() const { return written_; }
    Time now() const { return now_; }

    // The port refuses to open with this reason (empty: it opens).
    QString refuseOpen;
    // Called with each write before the device sees it; may change what the device receives.
    std::function<void(QByteArray &)> onWrite;

private:
    friend class ScriptedLine;

    void write(const QByteArray &bytes);
    // What the device has sent by now and the tool has not taken yet.
    void catchUp();
    void pass(std::chrono::nanoseconds span);

    MemoryImageStore store_;
    DeviceMachine machine_;
    Time now_;
    QByteArray written_;
    QByteArray pending_;
};
