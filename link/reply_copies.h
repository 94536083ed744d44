#pragma once

#include "link/command_code.h"

#include <QtGlobal>

struct Line;

// Copies of the device's answer to the connect request that may still be on their way. A
// handshake that asked more than once may meet a device that answers every request it read, the
// late ones included: one answer a request, the one the handshake took and the copies behind it.
// They come ahead of the first block or its acknowledgement, never later.
class ReplyCopies {
public:
    ReplyCopies() = default;
    // `apart`: the most polls between two requests, and so between two copies.
    ReplyCopies(CommandCode reply, int mayCome, qint32 apart)
        : reply_(reply), mayCome_(mayCome), apart_(apart) {}
    int mayCome() const { return mayCome_; }

    // Drops the whole copies at the front of what the device sends, each within a wait of its
    // own (`polls` and the requests' spacing), as long as `following` more bytes come behind it, so
    // that what is awaited (an acknowledgement, a block that happens to begin so) is never taken
    // for a copy. `afterPurge`: the purge ahead of a block may have cut a copy in two; its rest
    // goes too. Nothing is dropped once the copies that may come have come.
    void passOver(Line &line, int following, qint32 polls, bool eventsEachPoll, bool afterPurge);

private:
    bool dropRestOfACopy(Line &line, qint32 polls, bool eventsEachPoll);

    CommandCode reply_ = CommandCode::TSPO;
    int mayCome_ = 0;
    qint32 apart_ = 0;
};
