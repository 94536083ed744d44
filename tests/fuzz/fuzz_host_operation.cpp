// The tool's side of one whole operation (RunOperation: the handshake, the download's or the
// upload's phases, the verdict) against a device played by a script, on a line in memory with a
// clock of its own: every poll lets its time pass at once, so the longest waits cost no real time
// and every budget still runs out.
//
// The input: one byte of settings, then steps, run in order as the tool goes on.
//   byte 0: bit 0: Upload Default, else Download Default; bit 1: the upload makes a new file, else
//           it covers one that is there; bits 2-7: the seed of the image the device uploads
//   'w' N     wait until the tool has written N more times (a frame or a block is one write)
//   't' N     wait until N*N ms have passed
//   'f' C     send the frame of code C
//   'a' L H   L+256*H times: wait for a write, then send RRSS
//   'u' L H   L+256*H times: send the next block of the device's upload (its image's blocks, then
//             their checksum table, then blocks of zeros), then wait for a write
//   'x' L H P V  upload block L+256*H (0 the first) goes out with its byte P xor V
//   'k' L H N    upload block L+256*H goes out cut to its first N bytes
//   'p' N     send the next N bytes of the input as they are
//   'h'       hang up the line
//   'R'       the operator presses Reset when the window next handles its events
//   other     send that byte alone
// When the steps run out the device says nothing more.
//
// After every operation: nothing escaped RunOperation; the tool wrote only what the protocol
// allows, in bounded amount; success only when the device really acknowledged every block and
// then verified, erased and programmed (download), or when every upload block and a matching
// table arrived (upload); an upload's file only after success, holding what the device sent, and
// no file left beside it; the status texts in their order, nothing after a failure text.
#include "fuzz/fuzz_check.h"
#include "link/checksum_table.h"
#include "link/comm_error.h"
#include "link/handshake_codes.h"
#include "link/line.h"
#include "link/tmscomm.h"
#include "ops/driver.h"
#include "ops/panel_view.h"
#include "ops/progress_sink.h"
#include "ops/transfer_state.h"
#include "support/images.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

constexpr TransferMode Download = TransferMode::DownloadDefault;
constexpr TransferMode Upload = TransferMode::UploadDefault;
constexpr int DataBlocks = ImageSize(Download) / BlockSize;
static_assert(ImageSize(Upload) == ImageSize(Download));
constexpr int TableBlocks = ChecksumBlocks(DataBlocks);
constexpr int AllBlocks = DataBlocks + TableBlocks;
// The handshake sends at most this many requests.
constexpr int ConnectRequests = 1999;

// The files every input shares: the download's image, written once, and a folder for the
// upload's file (in memory where the system has one: saving syncs the file to its disk).
struct Files {
    Files()
        : folder(QDir(QStringLiteral("/dev/shm")).exists()
                     ? QStringLiteral("/dev/shm/torvane-fuzz-XXXXXX")
                     : QDir::tempPath() + QStringLiteral("/torvane-fuzz-XXXXXX")),
          downloadImage(TestImage(ImageSize(Download), 0x5eed)) {
        Require(folder.isValid(), "a folder for the files");
        download = folder.filePath(QStringLiteral("download.bin"));
        QFile file(download);
        Require(file.open(QIODevice::WriteOnly) &&
                    file.write(downloadImage) == downloadImage.size(),
                "the download file is written");
        uploads = folder.filePath(QStringLiteral("uploads"));
        Require(QDir().mkpath(uploads), "a folder for the upload's file");
        target = uploads + QStringLiteral("/upload.bin");
    }
    // What the upload's folder holds: every name, hidden ones too.
    QStringList uploadFolder() const {
        return QDir(uploads).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::Dirs |
                                           QDir::NoDotAndDotDot,
                                       QDir::Name);
    }

    QTemporaryDir folder;
    QByteArray downloadImage;
    QString download;
    QString uploads;
    QString target;
};

const QByteArray OldFile = QByteArrayLiteral("the file the upload covers");

class Rig;

// The line the serial component opens: every byte goes through the rig's script.
class ScriptLine : public SerialLine {
public:
    explicit ScriptLine(Rig &rig) : rig_(rig) {}
    void read(QByteArray &into, qsizetype wanted, nanoseconds limit) override;
    void write(const QByteArray &bytes) override;
    int pendingOutput() override { return 0; }
    void discardInput() override;

private:
    void take(QByteArray &into);
    Rig &rig_;
};

// What the operation showed; Reset as the window does it, when the script asks for it.
struct Sink : ProgressSink, PanelView {
    explicit Sink(Rig &rig) : rig_(rig) {}
    void processEvents() override;
    void statusShown(StatusCode code) override { statuses.push_back(code); }
    void fileRefused(FileRefusal) override { ++refusals; }
    void blockDone(const BlockProgress &) override {}
    void Progress(int, int) override { processEvents(); }
    void showError(const QString &, const QString &) override { ++errors; }
    void standStill(int) override {}
    PanelView *panel() override { return this; }
    void setProgressPosition(int) override {}
    void setInputPanelEnabled(bool enabled) override { panelEnabled = enabled; }
    void setPortLamp(bool) override {}

    std::vector<StatusCode> statuses;
    int refusals = 0;
    int errors = 0;
    bool panelEnabled = true;

private:
    Rig &rig_;
};

class Rig {
public:
    Rig(const std::uint8_t *data, std::size_t size, const Files &files)
        : data_(data), size_(size), upload_(data[0] & 1), createNew_(data[0] & 2), sink_(*this) {
        if (upload_) {
            const QByteArray image = TestImage(ImageSize(Download), data[0] >> 2);
            stream_ = image + CrcTableOf(image);
        }
        comm_.setLineOpener([this](const QString &, const LineSettings &) {
            return std::make_unique<ScriptLine>(*this);
        });
        request_.mode = upload_ ? Upload : Download;
        request_.portPath = QStringLiteral("fuzz");
        request_.file = upload_ ? files.target : files.download;
        request_.createNewFile = createNew_;
    }

    OperationResult run() {
        advance();
        try {
            return RunOperation(line_, state_, request_, sink_);
        } catch (...) {
            Require(false, "nothing escapes RunOperation");
        }
        return {};
    }

    void check(const OperationResult &result, const Files &files) const;

    bool upload() const { return upload_; }
    bool createNew() const { return createNew_; }

private:
    friend class ScriptLine;
    friend struct Sink;

    // Runs the steps that are due.
    void advance();
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
    int count() {
        const int low = next();
        return low + 256 * next();
    }
    void send(const QByteArray &bytes) {
        if (hungUp_)
            return;
        everySent_ += bytes;
        pending_ += bytes;
        if (!afterWrite_.empty())
            afterWrite_.back() += bytes;
    }
    void sendFrame(CommandCode code) { send(FrameOf(code)); }
    void sendUploadBlock();
    void reset();

    void checkStatuses(const OperationResult &result) const;
    void checkDownload(bool succeeded, const Files &files) const;
    void checkUpload(bool succeeded, const Files &files) const;

    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 1;
    const bool upload_;
    const bool createNew_;
    QByteArray stream_; // the device's upload: its image, then the image's checksum table

    // The script's state.
    nanoseconds now_{0};
    std::optional<int> untilWrites_;
    std::optional<nanoseconds> untilTime_;
    int acksLeft_ = 0;
    int blocksLeft_ = 0;
    std::map<int, QByteArray> blockMasks_; // xor'ed into upload blocks, by number
    std::map<int, int> blockCuts_;         // the length upload blocks are cut to, by number
    bool hungUp_ = false;
    bool resetAsked_ = false;
    bool rawSent_ = false;  // bytes went out that are neither a frame nor an upload block
    bool blockCut_ = false; // an upload block went out short
    int streamBlocks_ = 0;  // upload blocks sent
    QByteArray streamSent_; // the upload blocks as they went out
    std::vector<std::size_t> streamWrites_; // for each upload block, the writes before it
    QByteArray everySent_;                  // every byte the device sent
    QByteArray pending_;                    // sent and not yet taken by the tool

    // What the tool wrote, each write on its own, and what the device sent after each.
    std::vector<QByteArray> writes_;
    std::vector<QByteArray> afterWrite_;

    TMSComm comm_;
    Sink sink_;
    Line line_{comm_, sink_};
    TransferState state_;
    OperationRequest request_;
};

void Rig::sendUploadBlock() {
    const qsizetype at = qsizetype(streamBlocks_) * BlockSize;
    QByteArray block = at < stream_.size() ? stream_.mid(at, BlockSize) : QByteArray(BlockSize, 0);
    if (const auto mask = blockMasks_.find(streamBlocks_); mask != blockMasks_.end())
        for (int i = 0; i < BlockSize; ++i)
            block[i] = char(block[i] ^ mask->second[i]);
    if (const auto cut = blockCuts_.find(streamBlocks_); cut != blockCuts_.end()) {
        block.truncate(cut->second);
        blockCut_ = true;
    }
    ++streamBlocks_;
    streamSent_ += block;
    streamWrites_.push_back(writes_.size());
    send(block);
}

void Rig::advance() {
    for (;;) {
        if (hungUp_)
            return;
        if (untilWrites_ && int(writes_.size()) < *untilWrites_)
            return;
        if (untilTime_ && now_ < *untilTime_)
            return;
        untilWrites_.reset();
        untilTime_.reset();
        if (acksLeft_ > 0) {
            sendFrame(CommandCode::RRSS);
            if (--acksLeft_ > 0)
                untilWrites_ = int(writes_.size()) + 1;
            continue;
        }
        if (blocksLeft_ > 0) {
            sendUploadBlock();
            --blocksLeft_;
            untilWrites_ = int(writes_.size()) + 1;
            continue;
        }
        if (at_ >= size_)
            return;
        const char step = char(next());
        switch (step) {
        case 'w':
            untilWrites_ = int(writes_.size()) + next();
            break;
        case 't': {
            const int n = next();
            untilTime_ = now_ + std::chrono::milliseconds(n * n);
            break;
        }
        case 'f':
            sendFrame(CommandCode(next() % CommandCodeCount));
            break;
        case 'a':
            acksLeft_ = count();
            if (acksLeft_ > 0)
                untilWrites_ = int(writes_.size()) + 1;
            break;
        case 'u':
            blocksLeft_ = count();
            break;
        case 'x': {
            QByteArray &mask = blockMasks_[count()];
            if (mask.isEmpty())
                mask = QByteArray(BlockSize, 0);
            const int position = next();
            mask[position] = char(mask[position] ^ char(next()));
            break;
        }
        case 'k': {
            const int block = count();
            blockCuts_[block] = next();
            break;
        }
        case 'p': {
            const std::size_t wanted = next(); // before what is left is measured
            const std::size_t n = std::min<std::size_t>(wanted, size_ - at_);
            const QByteArray bytes(reinterpret_cast<const char *>(data_ + at_), qsizetype(n));
            at_ += n;
            rawSent_ = rawSent_ || n > 0;
            send(bytes);
            break;
        }
        case 'h':
            hungUp_ = true;
            pending_.clear();
            return;
        case 'R':
            resetAsked_ = true;
            break;
        default:
            rawSent_ = true;
            send(QByteArray(1, step));
            break;
        }
    }
}

void ScriptLine::take(QByteArray &into) {
    if (rig_.hungUp_)
        throw CommError(CommError::Kind::DeviceLost,
                        QStringLiteral("The device on fuzz was lost: the line was hung up"));
    into += rig_.pending_;
    rig_.pending_.clear();
}

void ScriptLine::read(QByteArray &into, qsizetype wanted, nanoseconds limit) {
    take(into);
    while (into.size() < wanted && limit > 0ns) {
        // Time runs on to the script's next moment, or to the end of the wait.
        nanoseconds step = limit;
        if (rig_.untilTime_ && *rig_.untilTime_ > rig_.now_)
            step = std::min(step, *rig_.untilTime_ - rig_.now_);
        rig_.now_ += step;
        limit -= step;
        rig_.advance();
        take(into);
    }
}

void ScriptLine::write(const QByteArray &bytes) {
    if (rig_.hungUp_)
        throw CommError(CommError::Kind::DeviceLost,
                        QStringLiteral("The device on fuzz was lost: the line was hung up"));
    // A block is lent for the call alone: keep a copy.
    rig_.writes_.emplace_back(bytes.constData(), bytes.size());
    rig_.afterWrite_.emplace_back();
    rig_.advance();
}

void ScriptLine::discardInput() {
    rig_.pending_.clear();
}

void Sink::processEvents() {
    if (std::exchange(rig_.resetAsked_, false))
        rig_.reset();
}

// What Reset does in the window: the port and the file close under the operation.
void Rig::reset() {
    state_.OperationAborted = true;
    comm_.setPortOpen(false);
    state_.ImageFileHandle.reset();
    sink_.panelEnabled = true;
}

bool isFailure(StatusCode code) {
    switch (code) {
    case StatusCode::ConnectFailed:
    case StatusCode::TransferFailed:
    case StatusCode::VerifyFailed:
    case StatusCode::EraseFlashFailed:
    case StatusCode::ProgramFlashFailed:
    case StatusCode::EraseEepromFailed:
    case StatusCode::UpdateFailed:
    case StatusCode::SetUpFileFailed:
        return true;
    default:
        return false;
    }
}

// The texts a whole operation shows, in order; "Transfering Data" after the first data block
// repeats once per block.
std::vector<StatusCode> successTexts(bool upload) {
    using S = StatusCode;
    if (upload)
        return {S::Connecting, S::ConnectSuccess, S::Transfer,     S::TransferSuccess,
                S::Verify,     S::VerifySuccess,  S::UpdateSuccess};
    return {S::Connecting,   S::ConnectSuccess,      S::Transfer,           S::TransferSuccess,
            S::Verify,       S::VerifySuccess,       S::EraseFlash,         S::EraseFlashSuccess,
            S::ProgramFlash, S::ProgramFlashSuccess, S::EraseEepromSuccess, S::UpdateSuccess};
}

// The failure text that may follow the last text of a successful run's beginning.
std::optional<StatusCode> failureAfter(StatusCode last, bool upload) {
    using S = StatusCode;
    switch (last) {
    case S::Connecting:
        return S::ConnectFailed;
    case S::Transfer:
    case S::TransferSuccess:
        return S::TransferFailed;
    case S::Verify:
        return S::VerifyFailed;
    case S::VerifySuccess:
        return upload ? std::optional(S::SetUpFileFailed) : std::nullopt;
    case S::EraseFlash:
        return S::EraseFlashFailed;
    case S::ProgramFlash:
        return S::ProgramFlashFailed;
    default:
        return std::nullopt;
    }
}

void Rig::checkStatuses(const OperationResult &result) const {
    const std::vector<StatusCode> &shown = sink_.statuses;
    // The beginning of a successful run, with the per-block texts taken as one.
    const std::vector<StatusCode> success = successTexts(upload_);
    std::size_t i = 0;
    std::size_t matched = 0;
    while (i < shown.size() && matched < success.size() && shown[i] == success[matched]) {
        const bool perBlock = shown[i] == StatusCode::TransferSuccess;
        ++i;
        ++matched;
        while (perBlock && i < shown.size() && shown[i] == StatusCode::TransferSuccess)
            ++i;
    }
    if (i < shown.size()) {
        Require(matched > 0, "an operation that shows texts begins with \"Connectting...\"");
        const std::optional<StatusCode> failure = failureAfter(success[matched - 1], upload_);
        Require(failure && shown[i] == *failure, "the failure text fits the step that failed");
        // A failed transfer phase shows its text, and the operation shows it again.
        Require(std::all_of(shown.begin() + qsizetype(i), shown.end(),
                            [&](StatusCode code) { return code == *failure; }),
                "nothing follows a failure text");
    }
    const bool successShown = !shown.empty() && shown.back() == StatusCode::UpdateSuccess;
    Require(successShown == result.succeeded(),
            "success is reported exactly when \"Update Success!\" was shown last");
    if (result.ending == Ending::Completed)
        Require(!shown.empty() && result.status == shown.back() &&
                    (result.succeeded() || isFailure(*result.status)),
                "a verdict is the text shown last");
    else
        Require(!result.status, "only a verdict carries a status");
    Require((result.ending == Ending::FileRefused) == (sink_.refusals > 0),
            "a refused file, and only that, shows a refusal");
    Require((result.ending == Ending::Error) == (sink_.errors > 0),
            "an error box, and only for an operation an error ended");
    Require(sink_.panelEnabled, "the input panel comes back");
    Require(!state_.OperationRunning && !state_.ImageFileHandle,
            "the operation is over and its file closed");
}

// True when `frames` stand in `bytes` in this order, each after the one before.
bool framesInOrder(const QByteArray &bytes, std::initializer_list<CommandCode> frames) {
    qsizetype from = 0;
    for (const CommandCode code : frames) {
        const qsizetype at = bytes.indexOf(FrameOf(code), from);
        if (at < 0)
            return false;
        from = at + FrameLength;
    }
    return true;
}

void Rig::checkDownload(bool succeeded, const Files &files) const {
    const QByteArray request = FrameOf(RequestOfMode[int(Download)]);
    const QByteArray sendable = files.downloadImage + CrcTableOf(files.downloadImage);
    std::size_t requests = 0;
    int blocks = 0;
    for (std::size_t k = 0; k < writes_.size(); ++k) {
        const QByteArray &written = writes_[k];
        if (written.size() == FrameLength) {
            Require(written == request && blocks == 0,
                    "a download writes its connect request only before its blocks");
            ++requests;
            continue;
        }
        Require(written.size() == BlockSize, "a download writes frames and whole blocks");
        Require(blocks < AllBlocks, "no block beyond the image and its table");
        Require(written == sendable.mid(qsizetype(blocks) * BlockSize, BlockSize),
                "the blocks written are the file's, then its checksum table, in order");
        // A block goes out only after the device answered the connect request, or acknowledged
        // the block before.
        const QByteArray answer =
            FrameOf(blocks == 0 ? ReplyOfMode[int(Download)] : CommandCode::RRSS);
        Require(k > 0 && afterWrite_[k - 1].contains(answer),
                "a block follows the connect reply or an acknowledged block");
        ++blocks;
    }
    Require(requests <= std::size_t(ConnectRequests), "the handshake's requests are bounded");
    if (!succeeded)
        return;
    Require(blocks == AllBlocks, "success only after every block went out");
    Require(framesInOrder(afterWrite_.back(), {CommandCode::RRSS, CommandCode::RCVS,
                                               CommandCode::REFS, CommandCode::RWFS}),
            "success only after the last block's RRSS, then RCVS, REFS and RWFS");
}

void Rig::checkUpload(bool succeeded, const Files &files) const {
    const QByteArray request = FrameOf(RequestOfMode[int(Upload)]);
    std::size_t requests = 0;
    int acks = 0;
    bool verdict = false;
    QList<CommandCode> after;  // what followed the blocks
    std::size_t connected = 0; // the writes up to the last connect request
    for (const QByteArray &written : writes_) {
        Require(written.size() == FrameLength, "an upload writes frames only");
        if (written == request && acks == 0 && after.isEmpty()) {
            connected = ++requests;
            continue;
        }
        std::optional<CommandCode> code;
        for (int c = 0; c < CommandCodeCount; ++c)
            if (written == FrameOf(CommandCode(c)))
                code = CommandCode(c);
        Require(bool(code), "an upload writes whole frames");
        if (*code == CommandCode::RRSS && after.isEmpty()) {
            ++acks;
            Require(acks <= AllBlocks, "no block acknowledged beyond the image and its table");
            continue;
        }
        after << *code;
        if (*code == CommandCode::RCVS)
            verdict = true;
    }
    Require(requests <= std::size_t(ConnectRequests), "the handshake's requests are bounded");
    const QList<CommandCode> done = {CommandCode::RCVS, CommandCode::REFS, CommandCode::RWFS};
    const QList<CommandCode> refused = {CommandCode::RCVF};
    const QList<CommandCode> timedOut = {CommandCode::RRFD};
    // A line lost on the way may cut the first short.
    Require(done.mid(0, after.size()) == after || after == refused || after == timedOut,
            "after its blocks an upload writes RCVS REFS RWFS, RCVF, or RRFD");
    Require(!verdict || acks == AllBlocks, "RCVS only after every block arrived");

    const QStringList present = files.uploadFolder();
    const QString name = QFileInfo(files.target).fileName();
    if (!succeeded) {
        if (createNew_) {
            Require(present.isEmpty(), "a failed upload leaves no file");
        } else {
            Require(present == QStringList{name}, "a failed upload leaves no file beside it");
            QFile old(files.target);
            Require(old.open(QIODevice::ReadOnly) && old.readAll() == OldFile,
                    "a failed upload leaves the covered file as it was");
        }
        return;
    }
    Require(verdict, "success only after the verdict RCVS");
    Require(present == QStringList{name}, "a successful upload leaves its file alone");
    QFile file(files.target);
    Require(file.open(QIODevice::ReadOnly), "the uploaded file can be read");
    const QByteArray saved = file.readAll();
    Require(saved.size() == ImageSize(Upload), "the uploaded file is the image's size");
    // Every block saved, and then the table of their checksums, came from the device, in order.
    const QByteArray table = CrcTableOf(saved);
    qsizetype from = 0;
    for (int k = 0; k < AllBlocks; ++k) {
        const QByteArray block = k < DataBlocks
                                     ? saved.mid(qsizetype(k) * BlockSize, BlockSize)
                                     : table.mid(qsizetype(k - DataBlocks) * BlockSize, BlockSize);
        const qsizetype at = everySent_.indexOf(block, from);
        Require(at >= 0, "the blocks saved and their table are what the device sent, in order");
        from = at + BlockSize;
    }
    // Only whole blocks went out: the blocks the tool took are the ones the device sent after
    // the last connect request (the request emptied the line of those before).
    if (!rawSent_ && !blockCut_) {
        const auto first = std::lower_bound(streamWrites_.begin(), streamWrites_.end(), connected);
        const qsizetype at = qsizetype(first - streamWrites_.begin()) * BlockSize;
        Require(streamSent_.size() - at >= qsizetype(AllBlocks) * BlockSize,
                "success only after every block was sent");
        Require(saved == streamSent_.mid(at, saved.size()),
                "the file holds the blocks the device sent");
        Require(streamSent_.mid(at + saved.size(), TableBlocks * BlockSize) == table,
                "the table the device sent matches the file");
    }
}

void Rig::check(const OperationResult &result, const Files &files) const {
    checkStatuses(result);
    // The handshake's requests, then a download's replies or an upload's blocks one by one, each
    // waited for within its polls: some nine minutes at most.
    Require(now_ <= std::chrono::minutes(10), "the operation ends within its waits' bounds");
    qsizetype written = 0;
    for (const QByteArray &bytes : writes_)
        written += bytes.size();
    const qsizetype bound =
        upload_ ? qsizetype(ConnectRequests + AllBlocks + 3) * FrameLength
                : qsizetype(ConnectRequests) * FrameLength + qsizetype(AllBlocks) * BlockSize;
    Require(written <= bound, "the tool writes no more than the protocol allows");
    if (upload_)
        checkUpload(result.succeeded(), files);
    else
        checkDownload(result.succeeded(), files);
}

// The upload's folder as each input begins: empty, or the file the upload covers.
void prepare(const Files &files, bool createNew) {
    QDir folder(files.uploads);
    for (const QString &name : files.uploadFolder())
        Require(folder.remove(name), "the upload's folder is emptied");
    if (!createNew) {
        QFile old(files.target);
        Require(old.open(QIODevice::WriteOnly) && old.write(OldFile) == OldFile.size(),
                "the file to cover is written");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    static const Files files;
    const auto rig = std::make_unique<Rig>(data, size, files);
    if (rig->upload())
        prepare(files, rig->createNew());
    const OperationResult result = rig->run();
    rig->check(result, files);
    return 0;
}
