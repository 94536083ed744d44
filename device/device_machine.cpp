#include "device/device_machine.h"

#include "device/image_store.h"
#include "link/checksum_table.h"
#include "link/handshake_codes.h"
#include "link/transfer_mode.h"

#include <algorithm>
#include <cstring>

namespace {

// A byte of the 8E1 line: start bit, eight data bits, parity bit and stop bit.
constexpr qint64 BitsPerByte = 11;

bool isUploadEnding(CommandCode code) {
    return code == CommandCode::RCVS || code == CommandCode::RCVF || code == CommandCode::REFS ||
           code == CommandCode::RWFS;
}

QString frameText(CommandCode code) {
    return QString::fromLatin1(FrameOf(code));
}

QString hexPreview(const QByteArray &bytes) {
    constexpr int shown = 16;
    QString text = QString::fromLatin1(bytes.left(shown).toHex(' '));
    if (bytes.size() > shown)
        text += QStringLiteral(" ...");
    return text;
}

} // namespace

DeviceMachine::DeviceMachine(const DeviceSettings &settings, ImageStore &store)
    : settings_(settings), store_(store), strayArmed_(settings.faults.strayByte) {
    // The patterns are made now, not while the tool waits for an answer.
    for (const ImageKind kind : {ImageKind::Software, ImageKind::Data, ImageKind::Default})
        PatternImage(kind);
}

std::chrono::nanoseconds DeviceMachine::lineTime(qsizetype bytes) const {
    if (settings_.paceBaud <= 0)
        return std::chrono::nanoseconds::zero();
    return std::chrono::nanoseconds(qint64(bytes) * BitsPerByte * 1000000000LL /
                                    settings_.paceBaud);
}

QByteArray DeviceMachine::feed(const char *data, qsizetype size, Time now) {
    if (lineClosed_ || size <= 0)
        return tick(now);
    if (!timerStart_)
        timerStart_ = now - std::chrono::microseconds(1);
    const std::chrono::milliseconds readLatency = settings_.faults.readLatency;
    if (readLatency.count() > 0) {
        if (heldBytes_ + size > QueueLimit) {
            note(now, QStringLiteral("dropped %1 bytes from the tool: %2 bytes wait to be read")
                          .arg(size)
                          .arg(heldBytes_));
            inputDropped_ += size;
            return tick(now);
        }
        heldInput_.push_back({burstAt(now, readLatency), QByteArray(data, size)});
        heldBytes_ += size;
        return tick(now);
    }
    take(data, size, now);
    return tick(now);
}

void DeviceMachine::take(const char *data, qsizetype size, Time now) {
    // On a paced line the tool's bytes arrive one after the other, each 11 bit times long.
    const Time start = std::max(now, rxFree_);
    rxFree_ = start + lineTime(size);
    qsizetype i = 0;
    while (i < size && !lineClosed_) {
        if (queuedBytes_ >= QueueLimit) {
            note(now, QStringLiteral("dropped %1 bytes from the tool: %2 bytes of answers wait")
                          .arg(size - i)
                          .arg(queuedBytes_));
            inputDropped_ += size - i;
            break;
        }
        if (phase_ == Phase::Receiving) {
            if (partialFill_ == 0) {
                partialSince_ = now;
                partialChecked_ = false;
            }
            const int ahead = repeatsAheadOfFirstBlock();
            const int want = BlockSize + ahead * FrameLength;
            const int take = int(std::min<qsizetype>(want - partialFill_, size - i));
            std::memcpy(partial_.data() + partialFill_, data + i, size_t(take));
            partialFill_ += take;
            i += take;
            if (settings_.faults.answerEvery && block_ == 0)
                for (const int copies = repeatsAheadOfFirstBlock(); copiesAnswered_ < copies;
                     ++copiesAnswered_)
                    answerCopy(start + lineTime(i));
            if (partialFill_ == want && repeatsAheadOfFirstBlock() == ahead) {
                if (ahead > 0)
                    note(now, QStringLiteral("%1 repeated connect request(s) ahead of block 0: "
                                             "the tool had the answer after all")
                                  .arg(ahead));
                takeBlock(ahead * FrameLength, start + lineTime(i));
            }
            continue;
        }
        const auto code = scanner_.push(data[i++]);
        if (code) {
            traceSkipped(now);
            onFrame(*code, start + lineTime(i));
        }
    }
    traceSkipped(now);
    if (phase_ == Phase::Receiving && partialFill_ > 0 && now - partialSince_ >= BlockGap)
        checkPartialBlock(std::max(now, rxFree_));
}

QByteArray DeviceMachine::tick(Time now) {
    while (!heldInput_.empty() && heldInput_.front().due <= now && !lineClosed_) {
        const Incoming held = std::move(heldInput_.front());
        heldInput_.pop_front();
        heldBytes_ -= held.bytes.size();
        take(held.bytes.constData(), held.bytes.size(), held.due);
    }
    QByteArray out;
    for (bool acted = true; acted && !lineClosed_;) {
        acted = false;
        if (deadline_ && *deadline_ <= now) {
            const Time at = *deadline_;
            deadline_.reset();
            onDeadline(at);
            acted = true;
        }
        if (phase_ == Phase::Receiving && partialFill_ > 0 && !partialChecked_ &&
            partialSince_ + BlockGap <= now) {
            checkPartialBlock(std::max(now, rxFree_));
            acted = true;
        }
        if (firstBlockDue_ && *firstBlockDue_ <= now) {
            const Time at = *firstBlockDue_;
            firstBlockDue_.reset();
            sendUploadBlock(at);
            acted = true;
        }
    }
    while (!queue_.empty() && queue_.front().due <= now) {
        Outgoing &next = queue_.front();
        if (next.hangUp) {
            note(now, QStringLiteral("hanging up the line (hangup-after)"));
            lineClosed_ = true;
            queue_.clear();
            queuedBytes_ = 0;
            break;
        }
        if (tracing())
            trace_(now, Direction::Sent, next.label);
        out += next.bytes;
        queuedBytes_ -= next.bytes.size();
        queue_.pop_front();
    }
    return out;
}

std::optional<DeviceMachine::Time> DeviceMachine::nextWake() const {
    if (lineClosed_)
        return std::nullopt;
    std::optional<Time> wake;
    const auto consider = [&wake](Time t) {
        if (!wake || t < *wake)
            wake = t;
    };
    if (!queue_.empty())
        consider(queue_.front().due);
    if (!heldInput_.empty())
        consider(heldInput_.front().due);
    if (deadline_)
        consider(*deadline_);
    if (firstBlockDue_)
        consider(*firstBlockDue_);
    if (phase_ == Phase::Receiving && partialFill_ > 0 && !partialChecked_)
        consider(partialSince_ + BlockGap);
    return wake;
}

void DeviceMachine::onFrame(CommandCode code, Time at) {
    if (phase_ == Phase::HangingUp)
        return;
    if (ModeOfRequest(code) >= 0) {
        onRequest(code, at);
        return;
    }
    if (tracing())
        trace_(at, Direction::Received, frameText(code));
    // The tool purges its output before each frame, so a frame can be lost behind the next one.
    // Its verdict or flash frames after the last block say the last block came.
    if (phase_ == Phase::Sending && block_ == totalBlocks_ - 1 && isUploadEnding(code)) {
        warn(at, QStringLiteral("%1: %2 came without the RRSS for the last block; taken as "
                                "the tool's acknowledgement")
                     .arg(operationName(), frameText(code)));
        ++block_;
        phase_ = Phase::AwaitVerdict;
    }
    switch (phase_) {
    case Phase::Sending:
        if (code == CommandCode::RRSS && !firstBlockDue_) {
            if (++block_ < totalBlocks_)
                sendUploadBlock(at);
            else
                phase_ = Phase::AwaitVerdict;
            return;
        }
        break;
    case Phase::AwaitVerdict:
        if (code == CommandCode::RCVS) {
            phase_ = Phase::AwaitFlash;
            return;
        }
        if (code == CommandCode::RCVF) {
            endOperation(at, QStringLiteral("the tool found the checksums wrong"));
            return;
        }
        // The tool's RCVS was lost: its flash frames come only after it accepted the upload.
        // RWFS, always sent last, ends the upload; after REFS it is still to come.
        if (code == CommandCode::REFS || code == CommandCode::RWFS) {
            warn(at, QStringLiteral("%1: %2 came without RCVS; taken as the tool's acceptance")
                         .arg(operationName(), frameText(code)));
            if (code == CommandCode::REFS)
                phase_ = Phase::AwaitFlash;
            else
                endOperation(at, QStringLiteral("done"));
            return;
        }
        break;
    case Phase::AwaitFlash:
        if (code == CommandCode::REFS)
            return;
        if (code == CommandCode::RWFS) {
            endOperation(at, QStringLiteral("done"));
            return;
        }
        break;
    default:
        break;
    }
    const bool uploadOrStalled = phase_ == Phase::Sending || phase_ == Phase::AwaitVerdict ||
                                 phase_ == Phase::AwaitFlash || phase_ == Phase::Stalled;
    if (code == CommandCode::RRFD && uploadOrStalled) {
        endOperation(at, QStringLiteral("the tool gave up (RRFD)"));
        return;
    }
    note(at, QStringLiteral("ignored: not expected now"));
}

void DeviceMachine::onRequest(CommandCode code, Time at) {
    const int mode = ModeOfRequest(code);
    if (tracing())
        trace_(at, Direction::Received,
               QStringLiteral("%1  connect request, %2")
                   .arg(frameText(code), QLatin1String(TransferModeNames[mode])));
    if (isCopy(mode, at)) {
        ++copiesSinceAnswer_;
        if (settings_.faults.answerEvery)
            answerCopy(at);
        else
            note(at, QStringLiteral("a copy of the connect request, drained: the tool asked "
                                    "again before the answer reached it"));
        return;
    }
    if (phase_ != Phase::Idle)
        abandon(at);
    if (settings_.faults.silent)
        return;
    const bool wrong = settings_.faults.wrongReply;
    const CommandCode reply = ReplyOfMode[wrong ? (mode + 1) % TransferModeCount : mode];
    const Time replyAt = at + settings_.faults.answerEvery.value_or(std::chrono::milliseconds(0));
    if (strayArmed_) {
        // The spoiled answer fails the tool's attempt; its next request is answered cleanly.
        strayArmed_ = false;
        send(replyAt, QByteArray(1, '\xFF') + FrameOf(reply),
             tracing() ? QStringLiteral("ff %1  (stray byte first)").arg(frameText(reply))
                       : QString());
        return;
    }
    answered_ = send(replyAt, reply);
    copiesSinceAnswer_ = 0;
    toolLetGo_ = false;
    if (wrong)
        return; // the tool does not take another mode's answer: it will ask again
    startOperation(mode, at);
}

// A request for the operation just answered, before anything of it has passed, while the answer
// goes out or soon after.
bool DeviceMachine::isCopy(int mode, Time at) const {
    if (settings_.faults.answerOnce)
        return false;
    const bool atFirstBlock =
        (phase_ == Phase::Sending || phase_ == Phase::Receiving) && block_ == 0;
    return atFirstBlock && mode == mode_ && !toolLetGo_ &&
           (at <= answered_ + CopyWindow || copiesSinceAnswer_ < MaxCopies);
}

// answer-every: a copy is answered as late after it as the first was, behind the answers before
// it; an upload's first block waits behind it.
void DeviceMachine::answerCopy(Time at) {
    answered_ = send(at + *settings_.faults.answerEvery, ReplyOfMode[mode_]);
    if (firstBlockDue_)
        firstBlockDue_ = answered_ + AnswerQuiet;
}

void DeviceMachine::startOperation(int mode, Time at) {
    mode_ = mode;
    kind_ = KindOfMode(mode);
    const qint32 size = ImageSize(TransferMode(mode));
    dataBlocks_ = size / BlockSize;
    totalBlocks_ = dataBlocks_ + ChecksumBlocks(dataBlocks_);
    block_ = 0;
    passed_ = 0;
    partialFill_ = 0;
    copiesAnswered_ = 0;
    deadline_.reset();
    firstBlockDue_.reset();
    if (!IsUpload(TransferMode(mode))) {
        phase_ = Phase::Receiving;
        image_ = QByteArray(size, Qt::Uninitialized);
        crcs_.assign(size_t(dataBlocks_), 0);
        table_.resize(dataBlocks_ * 4);
        return;
    }
    const std::optional<QByteArray> stored = store_.load(kind_);
    image_ = stored ? *stored : PatternImage(kind_);
    if (!stored)
        note(at, QStringLiteral("no %1 image stored: sending the pattern")
                     .arg(QLatin1String(KindName(kind_))));
    // The checksums are taken block by block as the blocks go out, so that the answer to the
    // request is not held up by a whole image's worth of them.
    crcs_.resize(size_t(dataBlocks_));
    table_.clear();
    phase_ = Phase::Sending;
    if (settings_.faults.answerEvery) {
        firstBlockDue_ = answered_ + AnswerQuiet;
        return;
    }
    sendUploadBlock(at);
}

void DeviceMachine::sendUploadBlock(Time at) {
    if (faultStopsHere(at))
        return;
    QByteArray bytes;
    QString label;
    if (block_ < dataBlocks_) {
        bytes = image_.mid(qsizetype(block_) * BlockSize, BlockSize);
        const quint32 crc =
            BlockCrc(reinterpret_cast<const quint8 *>(bytes.constData()), BlockSize);
        crcs_[size_t(block_)] = crc;
        const bool flip = settings_.faults.flipBit == block_;
        if (flip)
            bytes[0] = char(bytes[0] ^ 0x01);
        if (tracing())
            label = QStringLiteral("data block %1/%2, crc %3%4")
                        .arg(block_)
                        .arg(dataBlocks_)
                        .arg(crc, 8, 16, QLatin1Char('0'))
                        .arg(flip ? QStringLiteral(" (one bit flipped after)") : QString());
    } else {
        const int k = block_ - dataBlocks_;
        if (k == 0) {
            table_ = ChecksumTableOf(crcs_.data(), int(crcs_.size()));
            if (settings_.faults.badChecksum)
                table_[0] = char(table_[0] ^ 0xFF);
        }
        bytes = table_.mid(qsizetype(k) * BlockSize, BlockSize);
        if (tracing())
            label = QStringLiteral("checksum block %1/%2: %3")
                        .arg(k)
                        .arg(totalBlocks_ - dataBlocks_)
                        .arg(hexPreview(bytes));
    }
    send(at, bytes, label);
    ++passed_;
}

// Takes the block that starts `skip` bytes into the partial block; what follows it is kept.
void DeviceMachine::takeBlock(int skip, Time at) {
    std::memcpy(blockBytes_.data(), partial_.data() + skip, BlockSize);
    const int rest = partialFill_ - skip - BlockSize;
    std::memmove(partial_.data(), partial_.data() + skip + BlockSize, size_t(rest));
    partialFill_ = rest;
    copiesAnswered_ = 0;
    onBlock(at);
}

// Block 0 that begins with this mode's own request may be that request, repeated by the tool
// (once per ten polls) before a late answer reached it, followed by the real block 0: the
// device waits for 9 more bytes per request seen, or for the pause after a whole block, to tell
// which. Counts the requests at the start of the partial block.
int DeviceMachine::repeatsAheadOfFirstBlock() const {
    if (block_ != 0 || settings_.faults.answerOnce)
        return 0;
    const QByteArray request = FrameOf(RequestOfMode[mode_]);
    int n = 0;
    while (n < MaxRepeatsAhead && partialFill_ >= (n + 1) * FrameLength &&
           std::memcmp(partial_.data() + n * FrameLength, request.constData(), FrameLength) == 0)
        ++n;
    return n;
}

void DeviceMachine::onBlock(Time at) {
    const bool data = block_ < dataBlocks_;
    const quint8 *bytes = blockBytes_.data();
    const quint32 crc = BlockCrc(bytes, BlockSize);
    if (tracing()) {
        const QByteArray raw(reinterpret_cast<const char *>(bytes), BlockSize);
        trace_(at, Direction::Received,
               data ? QStringLiteral("data block %1/%2, crc %3")
                          .arg(block_)
                          .arg(dataBlocks_)
                          .arg(crc, 8, 16, QLatin1Char('0'))
                    : QStringLiteral("checksum block %1/%2: %3")
                          .arg(block_ - dataBlocks_)
                          .arg(totalBlocks_ - dataBlocks_)
                          .arg(hexPreview(raw)));
    }
    if (faultStopsHere(at))
        return;
    if (data) {
        std::memcpy(image_.data() + qsizetype(block_) * BlockSize, bytes, BlockSize);
        crcs_[size_t(block_)] = crc;
        if (settings_.faults.nakBlock == block_) {
            send(at, CommandCode::RRFD);
            endOperation(at, QStringLiteral("refused data block %1 (nak-block)").arg(block_));
            return;
        }
    } else {
        std::memcpy(table_.data() + qsizetype(block_ - dataBlocks_) * BlockSize, bytes, BlockSize);
    }
    send(at, CommandCode::RRSS);
    ++passed_;
    if (++block_ == totalBlocks_)
        verifyDownload(at);
}

void DeviceMachine::verifyDownload(Time at) {
    if (faultStopsHere(at))
        return;
    int firstBad = -1;
    const QByteArray computed = ChecksumTableOf(crcs_.data(), int(crcs_.size()));
    if (computed != table_) {
        const auto mismatch =
            std::mismatch(computed.cbegin(), computed.cend(), table_.cbegin()).first;
        firstBad = int(mismatch - computed.cbegin()) / 4;
    }
    if (firstBad >= 0 || settings_.faults.badChecksum) {
        send(at, CommandCode::RCVF);
        endOperation(
            at,
            firstBad >= 0
                ? QStringLiteral("verify failed: checksum of data block %1 differs").arg(firstBad)
                : QStringLiteral("verify failed (bad-checksum)"));
        return;
    }
    const Time sent = send(at, CommandCode::RCVS);
    phase_ = Phase::Erasing;
    deadline_ = sent + settings_.eraseTime;
}

void DeviceMachine::onDeadline(Time at) {
    if (phase_ == Phase::Erasing) {
        if (settings_.faults.eraseFail) {
            send(at, CommandCode::REFF);
            endOperation(at, QStringLiteral("erase failed (erase-fail)"));
            return;
        }
        const Time sent = send(at, CommandCode::REFS);
        phase_ = Phase::Programming;
        deadline_ = sent + settings_.programTime;
        return;
    }
    if (phase_ != Phase::Programming)
        return;
    if (settings_.faults.programFail) {
        send(at, CommandCode::RWFF);
        endOperation(at, QStringLiteral("programming failed (program-fail)"));
        return;
    }
    if (!store_.save(kind_, image_)) {
        send(at, CommandCode::RWFF);
        endOperation(at, QStringLiteral("programming failed: the %1 image could not be kept")
                             .arg(QLatin1String(KindName(kind_))));
        return;
    }
    send(at, CommandCode::RWFS);
    endOperation(at, QStringLiteral("%1 image stored").arg(QLatin1String(KindName(kind_))));
}

// A partial block that stopped growing. A held block 0 that got no more bytes was a block after
// all. Otherwise, if it ends in a connect request, the tool has given up this transfer and asks
// again, whatever came before.
void DeviceMachine::checkPartialBlock(Time at) {
    partialChecked_ = true;
    // A simple boot loader knows no copies and no giving up: the bytes are the block's, until
    // the tool lets go of the port.
    if (settings_.faults.answerOnce && !toolLetGo_)
        return;
    const int copies = repeatsAheadOfFirstBlock();
    if (partialFill_ >= BlockSize && copies > 0) {
        takeBlock(partialFill_ - BlockSize, at);
        return;
    }
    if (copies * FrameLength == partialFill_ && isCopy(mode_, at)) {
        note(at, QStringLiteral("%1 copy(ies) of the connect request, drained: the tool asked "
                                "again before the answer reached it")
                     .arg(copies));
        partialFill_ = 0;
        copiesAnswered_ = 0;
        copiesSinceAnswer_ += copies;
        return;
    }
    if (partialFill_ < FrameLength)
        return;
    const char *tail = reinterpret_cast<const char *>(partial_.data()) + partialFill_ - FrameLength;
    const auto code = DecodeFrame(tail);
    if (!code || ModeOfRequest(*code) < 0)
        return;
    // Part of a block came before it: the tool gave that transfer up, and this is no copy.
    const bool gaveUp = partialFill_ > FrameLength;
    if (gaveUp)
        note(at, QStringLiteral("dropped %1 bytes of an unfinished block")
                     .arg(partialFill_ - FrameLength));
    partialFill_ = 0;
    if (gaveUp)
        abandon(at);
    onRequest(*code, at);
}

// Faults that end the device's part after a number of blocks; true when this is the point.
bool DeviceMachine::faultStopsHere(Time at) {
    const DeviceFaults &faults = settings_.faults;
    if (faults.hangupAfter && passed_ >= *faults.hangupAfter) {
        Outgoing hangUp{std::max(at, txFree_), {}, {}, true};
        txFree_ = hangUp.due;
        queue_.push_back(std::move(hangUp));
        phase_ = Phase::HangingUp;
        return true;
    }
    if (faults.stopAfter && passed_ >= *faults.stopAfter) {
        note(at, QStringLiteral("silent from here on (stop-after)"));
        phase_ = Phase::Stalled;
        return true;
    }
    return false;
}

void DeviceMachine::endOperation(Time at, const QString &why) {
    if (tracing())
        trace_(at, Direction::Note, QStringLiteral("%1: %2").arg(operationName(), why));
    phase_ = Phase::Idle;
    deadline_.reset();
    firstBlockDue_.reset();
    partialFill_ = 0;
    strayArmed_ = settings_.faults.strayByte;
    ++operationsEnded_;
}

// The tool asks to connect in the middle of an operation: it has given that one up.
void DeviceMachine::abandon(Time at) {
    note(at, QStringLiteral("%1 given up by the tool").arg(operationName()));
    while (!queue_.empty() && queue_.back().due > at) {
        queuedBytes_ -= queue_.back().bytes.size();
        queue_.pop_back();
    }
    txFree_ = std::min(txFree_, at);
    phase_ = Phase::Idle;
    deadline_.reset();
    firstBlockDue_.reset();
    partialFill_ = 0;
    strayArmed_ = settings_.faults.strayByte;
}

DeviceMachine::Time DeviceMachine::send(Time earliest, CommandCode code) {
    return send(earliest, FrameOf(code), tracing() ? frameText(code) : QString());
}

// Queues bytes for the line; returns when their last byte will have left.
DeviceMachine::Time DeviceMachine::send(Time earliest, const QByteArray &bytes,
                                        const QString &label) {
    if (settings_.faults.silent)
        return earliest;
    const Time start = std::max(earliest + settings_.faults.replyDelay, txFree_);
    const Time due = start + lineTime(bytes.size());
    txFree_ = due;
    // Behind an adapter's latency timer the bytes go on to the tool when the timer next fires.
    const std::chrono::milliseconds latency = settings_.faults.latency;
    queue_.push_back({latency.count() > 0 ? burstAt(due, latency) : due, bytes, label, false});
    queuedBytes_ += bytes.size();
    return due;
}

// The adapter's timer runs from just before the tool's first bytes came, so that the answer to
// the first request waits nearly a whole period: the worst an adapter does, every time.
DeviceMachine::Time DeviceMachine::burstAt(Time t, std::chrono::milliseconds period) const {
    const Time start = timerStart_.value_or(t);
    if (t <= start)
        return start;
    const auto late = (t - start) % period;
    return late.count() == 0 ? t : t + (period - late);
}

void DeviceMachine::note(Time at, const QString &text) {
    if (tracing())
        trace_(at, Direction::Note, text);
}

void DeviceMachine::warn(Time at, const QString &text) {
    note(at, text);
    if (warn_)
        warn_(text);
}

void DeviceMachine::traceSkipped(Time at) {
    const FrameScanner::Skipped skipped = scanner_.takeSkipped();
    if (skipped.count > 0 && tracing())
        trace_(at, Direction::Received,
               QStringLiteral("ignored %1 bytes: %2%3")
                   .arg(skipped.count)
                   .arg(hexPreview(skipped.head),
                        skipped.count > skipped.head.size() ? QStringLiteral(" ...") : QString()));
}

QString DeviceMachine::operationName() const {
    return mode_ >= 0 ? QLatin1String(TransferModeNames[mode_]) : QStringLiteral("operation");
}
