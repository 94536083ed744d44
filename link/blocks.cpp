#include "link/blocks.h"

#include "link/frames.h"
#include "link/line.h"
#include "link/tmscomm.h"

#include <QByteArray>

#include <utility>

namespace {
// How many polls the device has to acknowledge a block.
constexpr qint32 BlockPolls = 300;
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
    for (;;) {
        if (WaitReply(line, CommandCode::RRSS, budget))
            return true;
        if (!copiesMayCome || line.LastReply.received != copy)
            return false;
    }
}
