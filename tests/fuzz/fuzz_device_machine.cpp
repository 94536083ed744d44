// The device's state machine driven by a script of the tool's bytes and the passing of time.
//
// The input: four bytes of settings, then steps.
//   byte 0: faults: 1 wrong-reply, 2 stray-byte, 4 bad-checksum, 8 erase-fail, 16 program-fail,
//           32 silent; the top two bits pace the line (none, 115200, 9600, 1000000 bit/s)
//   byte 1: a counted fault (low three bits: none, nak-block, stop-after, hangup-after, flip-bit,
//           reply-delay), byte 2 its number
//   byte 3: erase time (low four bits) and program time (high four bits), 4 ms a step
//   steps:  'c' M   the connect request of mode M
//           'r' C   the frame of code C
//           'z' N   N blocks of zeros at once (a right checksum table for zero blocks is zeros)
//           'a' N   N RRSS frames, one at a time
//           'p' N   the next N bytes of the input at once
//           't' N   N*N*20 us pass
//           's'     time runs until the device has nothing more to do
//           other   that byte alone
//
// After every step: what came out is whole frames and blocks, as the trace announced them; the
// queue stays within its bound; nothing is due at or before the present (else the serve loop would
// spin); a hung-up line stays silent; an idle device wants no wake-up; ended operations only count
// up.
#include "device/device_faults.h"
#include "device/device_machine.h"
#include "device/frame_scanner.h"
#include "device/image_store.h"
#include "fuzz/fuzz_check.h"
#include "link/handshake_codes.h"
#include "link/transfer_mode.h"

#include <QByteArrayList>

#include <cstdint>

namespace {

using namespace std::chrono_literals;
using Time = DeviceMachine::Time;

DeviceSettings settingsOf(const std::uint8_t header[4]) {
    DeviceSettings settings;
    DeviceFaults &faults = settings.faults;
    faults.wrongReply = header[0] & 1;
    faults.strayByte = header[0] & 2;
    faults.badChecksum = header[0] & 4;
    faults.eraseFail = header[0] & 8;
    faults.programFail = header[0] & 16;
    faults.silent = header[0] & 32;
    static constexpr qint32 bauds[] = {0, 115200, 9600, 1000000};
    settings.paceBaud = bauds[header[0] >> 6];
    const int count = header[2];
    switch (header[1] & 7) {
    case 1:
        faults.nakBlock = count;
        break;
    case 2:
        faults.stopAfter = count;
        break;
    case 3:
        faults.hangupAfter = count;
        break;
    case 4:
        faults.flipBit = count;
        break;
    case 5:
        faults.replyDelay = std::chrono::milliseconds(count);
        break;
    default:
        break;
    }
    settings.eraseTime = std::chrono::milliseconds(4 * (header[3] & 15));
    settings.programTime = std::chrono::milliseconds(4 * (header[3] >> 4));
    return settings;
}

// The device under test and what the trace announced it sent.
struct Rig {
    explicit Rig(const DeviceSettings &settings) : machine(settings, store) {
        machine.setTraceSink([this](Time, DeviceMachine::Direction direction, const QString &text) {
            if (direction == DeviceMachine::Direction::Sent)
                sent << text.toLatin1();
        });
    }

    QByteArray feed(const QByteArray &bytes) { return check(machine.feed(bytes, now)); }
    QByteArray tick() { return check(machine.tick(now)); }

    // Every piece of output is one the trace announced: a frame (maybe behind a stray byte) or a
    // block, whole.
    QByteArray check(const QByteArray &out) {
        Require(out.size() <= DeviceMachine::MaxQueuedBytes, "output within the queue's bound");
        Require(machine.queuedBytes() <= DeviceMachine::MaxQueuedBytes, "queue within its bound");
        qsizetype at = 0;
        for (const QByteArray &label : sent) {
            if (label.startsWith("ff @KZVN")) {
                Require(out.mid(at, 1 + FrameLength) == '\xff' + label.mid(3, FrameLength),
                        "a stray byte and the frame announced");
                Require(bool(DecodeFrame(out.constData() + at + 1)), "a whole frame");
                at += 1 + FrameLength;
            } else if (label.startsWith("@KZVN")) {
                Require(out.mid(at, FrameLength) == label.left(FrameLength), "the frame announced");
                Require(bool(DecodeFrame(out.constData() + at)), "a whole frame");
                at += FrameLength;
            } else {
                Require(label.startsWith("data block") || label.startsWith("checksum block"),
                        "only frames and blocks are sent");
                at += BlockSize;
            }
        }
        Require(at == out.size(), "the output is exactly what was announced");
        sent.clear();

        if (wasClosed)
            Require(out.isEmpty(), "a hung-up line stays silent");
        Require(!wasClosed || machine.lineClosed(), "a hung-up line stays hung up");
        wasClosed = machine.lineClosed();
        const auto wake = machine.nextWake();
        Require(!wake || *wake > now, "nothing is left due by now");
        Require(!machine.idle() || !wake, "an idle device wants no wake-up");
        Require(!machine.lineClosed() || !wake, "a hung-up device wants no wake-up");
        Require(machine.operationsEnded() >= ended, "ended operations only count up");
        ended = machine.operationsEnded();
        return out;
    }

    MemoryImageStore store;
    DeviceMachine machine;
    Time now = Time{} + 1h;
    QByteArrayList sent;
    bool wasClosed = false;
    int ended = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::uint8_t header[4] = {};
    const std::size_t headerSize = std::min<std::size_t>(size, 4);
    std::copy(data, data + headerSize, header);
    Rig rig(settingsOf(header));
    const auto argument = [&](std::size_t &i) { return i < size ? data[i++] : 0; };

    for (std::size_t i = headerSize; i < size;) {
        const char step = char(data[i++]);
        switch (step) {
        case 'c':
            rig.feed(FrameOf(RequestOfMode[argument(i) % TransferModeCount]));
            break;
        case 'r':
            rig.feed(FrameOf(CommandCode(argument(i) % CommandCodeCount)));
            break;
        case 'z':
            rig.feed(QByteArray(qsizetype(argument(i)) * BlockSize, '\0'));
            break;
        case 'a':
            for (int n = argument(i); n > 0; --n)
                rig.feed(FrameOf(CommandCode::RRSS));
            break;
        case 'p': {
            const std::size_t wanted = argument(i); // first: it moves i
            const std::size_t n = std::min<std::size_t>(wanted, size - i);
            rig.feed(QByteArray(reinterpret_cast<const char *>(data + i), qsizetype(n)));
            i += n;
            break;
        }
        case 't': {
            const int n = argument(i);
            rig.now += std::chrono::microseconds(20 * n * n);
            rig.tick();
            break;
        }
        case 's':
            // Every wake-up lies ahead of the present, so this ends; the bound is for safety.
            for (int n = 0; n < 100000; ++n) {
                const auto wake = rig.machine.nextWake();
                if (!wake)
                    break;
                rig.now = *wake;
                rig.tick();
            }
            Require(!rig.machine.nextWake(), "time running out leaves nothing to do");
            break;
        default:
            rig.feed(QByteArray(1, step));
            break;
        }
    }
    return 0;
}
