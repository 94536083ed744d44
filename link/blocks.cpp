#include "link/blocks.h"

#include "link/frames.h"
#include "link/line.h"
#include "link/tmscomm.h"

#include <QByteArray>

#include <utility>

namespace {
// How many polls the device has to acknowledge a block.
constexpr qint32 BlockPolls = 300;

// Whether `bytes` may be the start of what is left of `copy` once its first characters went.
bool restOfACopy(const QByteArray &copy, const QByteArray &bytes) {
    for (qsizetype from = 1; from + bytes.size() <= copy.size(); ++from) {
        if (copy.mid(from).startsWith(bytes))
            return true;
    }
    return false;
}
} // namespace

bool SendBlock(Line &line, Block block) {
    line.MSComm.setInBufferCount(0);
    line.MSComm.setOutBufferCount(0);
    line.MSComm.setOutput(
        QByteArray::fromRawData(reinterpret_cast<const char *>(block.data()), BlockSize));
    PollBudget budget(BlockPolls);
    // After a handshake that asked more than once, copies of the device's answer may come ahead
    // of the first acknowledgement: each is passed over, within the same polls.
    const bool copiesMayCome = std::exchange(line.ReplyMayRepeat, false);
    const QByteArray copy = FrameOf(line.ExpectCodeSlot);
    QByteArray cut; // what came of a copy the purge ahead of the block cut in two
    for (;;) {
        if (WaitReply(line, CommandCode::RRSS, budget))
            return true;
        if (!copiesMayCome)
            return false;
        const ReplySeen &seen = line.LastReply;
        if (seen.end == ReplySeen::End::OtherFrame && seen.received == copy) {
            cut.clear();
            continue;
        }
        // The rest of a cut copy comes first, read a character at a time.
        if (seen.end != ReplySeen::End::StrayByte || !restOfACopy(copy, cut + seen.received))
            return false;
        cut += seen.received;
    }
}
