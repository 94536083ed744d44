#include "station/wire_trace.h"

#include "link/checksum.h"
#include "link/command_code.h"
#include "station/console_output.h"

namespace {

bool isFrame(const QByteArray &bytes) {
    return bytes.size() == FrameLength && bytes.startsWith("@KZVN");
}

QByteArray hexBytes(const QByteArray &bytes) {
    return bytes.toHex(' ');
}

// A frame as text, with anything that is not a printable character written as \xHH: a device
// (or line noise) never gets to send control sequences to the operator's terminal.
QByteArray escaped(const QByteArray &bytes) {
    QByteArray text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\')
            text += c;
        else
            text += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
    }
    return text;
}

} // namespace

WireTrace::WireTrace(ConsoleOutput &output, Clock::time_point start)
    : output_(output), start_(start) {}

void WireTrace::line(const char *arrow, const QByteArray &text) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    output_.traceLine(QByteArray("[") + QByteArray::number(seconds, 'f', 6).rightJustified(11) +
                      "] " + arrow + ' ' + text);
}

QByteArray WireTrace::describe(const QByteArray &bytes, int &blockCounter) const {
    if (isFrame(bytes))
        return escaped(bytes);
    if (bytes.size() == BlockSize) {
        const quint32 crc =
            BlockCrc(reinterpret_cast<const quint8 *>(bytes.constData()), BlockSize);
        return "block " + QByteArray::number(blockCounter++) + " (256 bytes, checksum 0x" +
               QByteArray::number(crc, 16).rightJustified(8, '0') + ')';
    }
    return QByteArray::number(bytes.size()) + " bytes: " + hexBytes(bytes);
}

void WireTrace::record(TMSComm::Direction direction, const QByteArray &bytes) {
    if (direction == TMSComm::Direction::Received)
        return received(bytes);
    flush();
    line("->", describe(bytes, sentBlocks_));
}

void WireTrace::received(const QByteArray &bytes) {
    // A block is read whole, in one piece; a reply frame comes one character at a time.
    if (bytes.size() >= BlockSize) {
        flush();
        line("<-", describe(bytes, receivedBlocks_));
        return;
    }
    pending_ += bytes;
    while (!pending_.isEmpty()) {
        if (pending_.at(0) != '@') {
            // Anything ahead of a frame's first character is a stray byte.
            const qsizetype stray = pending_.indexOf('@');
            const qsizetype n = stray < 0 ? pending_.size() : stray;
            line("<-", "stray " + describe(pending_.left(n), receivedBlocks_));
            pending_.remove(0, n);
            continue;
        }
        if (pending_.size() < FrameLength)
            return;
        line("<-", describe(pending_.left(FrameLength), receivedBlocks_));
        pending_.remove(0, FrameLength);
    }
}

void WireTrace::flush() {
    if (pending_.isEmpty())
        return;
    line("<-", "partial " + describe(pending_, receivedBlocks_));
    pending_.clear();
}
