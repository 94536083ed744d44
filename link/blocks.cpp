#include "link/blocks.h"

#include "link/frames.h"
#include "link/line.h"
#include "link/reply_copies.h"
#include "link/tmscomm.h"

#include <QByteArray>

namespace {
// How many polls the device has to acknowledge a block.
constexpr qint32 BlockPolls = 300;
} // namespace

bool SendBlock(Line &line, Block block, ReplyCopies *copies) {
    line.MSComm.setInBufferCount(0);
    line.MSComm.setOutBufferCount(0);
    line.MSComm.setOutput(
        QByteArray::fromRawData(reinterpret_cast<const char *>(block.data()), BlockSize));
    if (copies)
        copies->passOver(line, FrameLength, BlockPolls, true, true);
    return WaitReply(line, CommandCode::RRSS, BlockPolls);
}
