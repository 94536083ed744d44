// The device's state machine, fed byte sequences and the passing of time, with no line at all.
#include "device/device_faults.h"
#include "device/device_machine.h"
#include "device/file_image_store.h"
#include "device/image_store.h"
#include "link/handshake_codes.h"
#include "link/transfer_mode.h"
#include "support/images.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

using namespace std::chrono_literals;
using Time = DeviceMachine::Time;

namespace {

QByteArray frame(CommandCode code) {
    return FrameOf(code);
}

QByteArray blockOf(const QByteArray &bytes, int k) {
    return bytes.mid(qsizetype(k) * 256, 256);
}

DeviceFaults faultsOf(const QStringList &faultTexts) {
    DeviceFaults faults;
    for (const QString &faultText : faultTexts) {
        QString error;
        if (!AddFault(faults, faultText, &error))
            qFatal("%s", qPrintable(error));
    }
    return faults;
}

// A device and its clock.
struct Rig {
    explicit Rig(const QStringList &faults = {}, qint32 baud = 0)
        : machine(settings(faults, baud), store) {}
    static DeviceSettings settings(const QStringList &faults, qint32 baud) {
        DeviceSettings s;
        s.faults = faultsOf(faults);
        s.paceBaud = baud;
        return s;
    }

    MemoryImageStore store;
    DeviceMachine machine;
    Time now = Time{} + 1h;

    QByteArray feed(const QByteArray &bytes) { return machine.feed(bytes, now); }
    QByteArray advance(std::chrono::nanoseconds span) {
        now += span;
        return machine.tick(now);
    }
    // Lets time run until the device has nothing more to do.
    QByteArray settle() {
        QByteArray out;
        while (const auto wake = machine.nextWake()) {
            now = std::max(now, *wake);
            out += machine.tick(now);
        }
        return out;
    }
    // Sends every block of a download; the answers to all of them.
    QByteArray sendBlocks(const QByteArray &image, const QByteArray &table) {
        QByteArray out;
        for (qsizetype at = 0; at < image.size(); at += 256)
            out += feed(image.mid(at, 256));
        for (qsizetype at = 0; at < table.size(); at += 256)
            out += feed(table.mid(at, 256));
        return out;
    }
    // Takes an upload as the tool does, acknowledging each block; the blocks that came.
    QByteArray receiveUpload(int mode, int blocks = -1) {
        const int total =
            ImageSize(TransferMode(mode)) / 256 + ImageSize(TransferMode(mode)) / 16384;
        QByteArray got = feed(frame(RequestOfMode[mode]));
        if (!got.startsWith(frame(ReplyOfMode[mode])))
            return {};
        got.remove(0, 9);
        for (int k = 1; k < (blocks < 0 ? total : blocks); ++k)
            got += feed(frame(CommandCode::RRSS));
        return got;
    }
};

QByteArray repeated(CommandCode code, int times) {
    return frame(code).repeated(times);
}

} // namespace

class TestDeviceMachine : public QObject {
    Q_OBJECT
private slots:
    void handshakeAnswersEveryMode_data();
    void handshakeAnswersEveryMode();
    void ignoresWhatIsNoRequest_data();
    void ignoresWhatIsNoRequest();

    void downloadStoresTheImage_data();
    void downloadStoresTheImage();
    void downloadWithAWrongTableIsRefused();
    void blockArrivingInPieces();
    void blockThatLooksLikeARequestIsABlock();
    void requestInTheMiddleOfADownloadStartsAgain();
    void requestAfterAnUnfinishedBlockStartsAgain();
    void repeatedRequestAheadOfTheFirstBlock();
    void requestWhileFlashingStartsAgain();
    void firstBlockThatBeginsWithTheRequest();

    void uploadSendsTheStoredImage_data();
    void uploadSendsTheStoredImage();
    void uploadPatternIsTheSameEveryRun();
    void uploadEndsOnRRFD();
    void uploadEndsThoughFramesWereLost_data();
    void uploadEndsThoughFramesWereLost();
    void uploadRequestedAgainStartsAgain();
    void copyOfTheRequestIsDrained_data();
    void copyOfTheRequestIsDrained();

    void silentNeverAnswers();
    void wrongReplyAnswersAnotherMode();
    void strayByteSpoilsEachConnectionsFirstAnswer();
    void nakBlockRefusesThatBlock();
    void badChecksum();
    void flashFaults_data();
    void flashFaults();
    void stopAfter_data();
    void stopAfter();
    void hangupAfter_data();
    void hangupAfter();
    void replyDelayHoldsEveryAnswer();
    void flipBitCorruptsOneBitAfterTheChecksum();

    void pacingFollowsTheLine();
    void floodOfInputIsDroppedNotHeld_data();
    void floodOfInputIsDroppedNotHeld();
    void faultTexts_data();
    void faultTexts();
    void fileStoreKeepsWholeImagesOnly();
    void fileStoreSaysWhyItCannotWrite();
};

void TestDeviceMachine::handshakeAnswersEveryMode_data() {
    QTest::addColumn<int>("mode");
    for (int mode = 0; mode < TransferModeCount; ++mode)
        QTest::newRow(TransferModeNames[mode]) << mode;
}

void TestDeviceMachine::handshakeAnswersEveryMode() {
    QFETCH(int, mode);
    static const char *const requests[] = {"TSPO", "TDPO", "TFPO", "TLPO",
                                           "TAPO", "RSPO", "RDPO", "RFPO"};
    static const char *const replies[] = {"RSPO", "RDPO", "RFPO", "RLPO",
                                          "RAPO", "TSPO", "TDPO", "TFPO"};
    Rig rig;
    const QByteArray out = rig.feed(QByteArray("@KZVN") + requests[mode]);
    QCOMPARE(out.left(9), QByteArray("@KZVN") + replies[mode]);
    // An upload's first block follows the answer at once; a download waits for the tool's.
    QCOMPARE(out.size(), IsUpload(TransferMode(mode)) ? 9 + 256 : 9);
}

void TestDeviceMachine::ignoresWhatIsNoRequest_data() {
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArray>("answer");
    const QByteArray request = frame(CommandCode::TDPO);
    const QByteArray reply = frame(CommandCode::RDPO);
    QTest::newRow("noise") << QByteArrayList{"hello\r\n\x00\xff"} << QByteArray();
    QTest::newRow("lower case") << QByteArrayList{"@kzvntdpo"} << QByteArray();
    QTest::newRow("other tag") << QByteArrayList{"@KZVMTDPO"} << QByteArray();
    QTest::newRow("unknown code") << QByteArrayList{"@KZVNTXPO"} << QByteArray();
    QTest::newRow("no request") << QByteArrayList{frame(CommandCode::RRSS)} << QByteArray();
    QTest::newRow("unsent reply code") << QByteArrayList{frame(CommandCode::RLPO)} << QByteArray();
    QTest::newRow("doubled @") << QByteArrayList{"@" + request} << reply;
    QTest::newRow("torn frame first") << QByteArrayList{"@KZVNT" + request} << reply;
    QTest::newRow("noise first") << QByteArrayList{"xyz" + request} << reply;
    QTest::newRow("partial frame") << QByteArrayList{request.left(4), request.mid(4)} << reply;
    QTest::newRow("letter missing") << QByteArrayList{"@", "ZVNTDPO"} << QByteArray();
    QByteArrayList single;
    for (char c : request)
        single << QByteArray(1, c);
    QTest::newRow("one byte a time") << single << reply;
}

void TestDeviceMachine::ignoresWhatIsNoRequest() {
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, answer);
    Rig rig;
    QByteArray out;
    for (int i = 0; i < pieces.size(); ++i) {
        out += rig.feed(pieces[i]);
        if (i + 1 < pieces.size())
            QCOMPARE(out, QByteArray());
        rig.advance(1ms);
    }
    out += rig.settle();
    QCOMPARE(out, answer);
    QVERIFY(rig.machine.idle() || !answer.isEmpty());
}

void TestDeviceMachine::downloadStoresTheImage_data() {
    QTest::addColumn<int>("mode");
    for (int mode = 0; mode <= 4; ++mode)
        QTest::newRow(TransferModeNames[mode]) << mode;
}

void TestDeviceMachine::downloadStoresTheImage() {
    QFETCH(int, mode);
    const ImageKind kind = KindOfMode(mode);
    Rig rig;
    const QByteArray image = TestImage(ImageSize(TransferMode(mode)), 7);
    QCOMPARE(rig.feed(frame(RequestOfMode[mode])), frame(ReplyOfMode[mode]));
    const QByteArray table = CrcTableOf(image);
    const int blocks = int((image.size() + table.size()) / 256);
    QCOMPARE(blocks, ImageSize(TransferMode(mode)) / 256 + ImageSize(TransferMode(mode)) / 16384);
    const QByteArray acks = rig.sendBlocks(image, table);
    // Every block acknowledged, then the verdict at once.
    QCOMPARE(acks, repeated(CommandCode::RRSS, blocks) + frame(CommandCode::RCVS));
    QVERIFY(!rig.store.load(kind));
    QCOMPARE(rig.advance(299ms), QByteArray());
    QCOMPARE(rig.advance(1ms), frame(CommandCode::REFS));
    QCOMPARE(rig.advance(499ms), QByteArray());
    QCOMPARE(rig.advance(1ms), frame(CommandCode::RWFS));
    QCOMPARE(rig.store.load(kind), std::optional<QByteArray>(image));
    QVERIFY(rig.machine.idle());
    QCOMPARE(rig.machine.operationsEnded(), 1);
    QVERIFY(!rig.machine.nextWake()); // nothing to do until the tool speaks again
}

void TestDeviceMachine::downloadWithAWrongTableIsRefused() {
    Rig rig;
    const QByteArray image = TestImage(ImageSize(TransferMode(2)), 1);
    QByteArray table = CrcTableOf(image);
    table[4 * 300 + 3] = char(table[4 * 300 + 3] ^ 0x80);
    rig.feed(frame(CommandCode::TFPO));
    const QByteArray out = rig.sendBlocks(image, table);
    QVERIFY(out.endsWith(frame(CommandCode::RRSS) + frame(CommandCode::RCVF)));
    QCOMPARE(rig.settle(), QByteArray());
    QVERIFY(!rig.store.load(ImageKind::Default));
    QVERIFY(rig.machine.idle());
}

void TestDeviceMachine::blockArrivingInPieces() {
    Rig rig;
    rig.feed(frame(CommandCode::TFPO));
    const QByteArray block = blockOf(TestImage(ImageSize(TransferMode(2)), 3), 0);
    QCOMPARE(rig.feed(block.left(1)), QByteArray());
    rig.advance(1ms);
    QCOMPARE(rig.feed(block.mid(1, 100)), QByteArray());
    rig.advance(10ms); // a slow piece is still part of the block
    QCOMPARE(rig.machine.tick(rig.now), QByteArray());
    QCOMPARE(rig.feed(block.mid(101) + frame(CommandCode::TFPO).left(3)), frame(CommandCode::RRSS));
}

void TestDeviceMachine::blockThatLooksLikeARequestIsABlock() {
    Rig rig;
    rig.feed(frame(CommandCode::TFPO));
    // A block made of requests is data like any other, also when the tool's write is read in
    // two pieces right after a frame.
    const QByteArray block = repeated(CommandCode::TSPO, 29).left(256);
    QCOMPARE(rig.feed(block), frame(CommandCode::RRSS));
    QCOMPARE(rig.feed(block.left(9)), QByteArray());
    rig.advance(100us);
    QCOMPARE(rig.feed(block.mid(9)), frame(CommandCode::RRSS));
}

void TestDeviceMachine::requestInTheMiddleOfADownloadStartsAgain() {
    Rig rig;
    const QByteArray image = TestImage(ImageSize(TransferMode(1)), 5);
    rig.feed(frame(CommandCode::TDPO));
    for (int k = 0; k < 3; ++k)
        QCOMPARE(rig.feed(blockOf(image, k)), frame(CommandCode::RRSS));
    // The tool was reset and now asks for an upload; nothing more of the block comes.
    QCOMPARE(rig.feed(frame(CommandCode::RFPO)), QByteArray());
    QCOMPARE(rig.machine.nextWake(), std::optional<Time>(rig.now + DeviceMachine::BlockGap));
    const QByteArray out = rig.advance(DeviceMachine::BlockGap);
    QCOMPARE(out.left(9), frame(CommandCode::TFPO));
    QCOMPARE(out.size(), 9 + 256);
    QCOMPARE(rig.machine.operationsEnded(), 0);
}

void TestDeviceMachine::requestAfterAnUnfinishedBlockStartsAgain() {
    Rig rig;
    rig.feed(frame(CommandCode::TFPO));
    QCOMPARE(rig.feed(QByteArray(100, 'x')), QByteArray());
    QCOMPARE(rig.advance(1s), QByteArray()); // a stalled piece of a block is kept
    // A request after it, repeated as the tool does, is answered at once; then a whole
    // download goes through.
    QCOMPARE(rig.feed(frame(CommandCode::TFPO)), frame(CommandCode::RFPO));
    const QByteArray image = TestImage(ImageSize(TransferMode(2)), 8);
    QVERIFY(rig.sendBlocks(image, CrcTableOf(image)).endsWith(frame(CommandCode::RCVS)));
    rig.settle();
    QCOMPARE(rig.store.load(ImageKind::Default), std::optional<QByteArray>(image));
}

void TestDeviceMachine::repeatedRequestAheadOfTheFirstBlock() {
    // The tool missed the answer, asked again three times, then the late answer reached it:
    // its repeated requests and block 0 arrive back to back, and only the block is answered.
    Rig rig;
    const QByteArray image = TestImage(ImageSize(TransferMode(2)), 15);
    QCOMPARE(rig.feed(frame(CommandCode::TFPO)), frame(CommandCode::RFPO));
    QCOMPARE(rig.feed(repeated(CommandCode::TFPO, 3)), QByteArray());
    rig.advance(1ms);
    QCOMPARE(rig.sendBlocks(image, CrcTableOf(image)),
             repeated(CommandCode::RRSS, 520) + frame(CommandCode::RCVS));
    rig.settle();
    QCOMPARE(rig.store.load(ImageKind::Default), std::optional<QByteArray>(image));
}

void TestDeviceMachine::requestWhileFlashingStartsAgain() {
    Rig rig;
    const QByteArray image = TestImage(ImageSize(TransferMode(1)), 17);
    rig.feed(frame(CommandCode::TDPO));
    QVERIFY(rig.sendBlocks(image, CrcTableOf(image)).endsWith(frame(CommandCode::RCVS)));
    QCOMPARE(rig.advance(300ms), frame(CommandCode::REFS));
    // The tool gave up while the flash was programmed: the new request is answered at once and
    // the abandoned image is never reported programmed nor kept.
    const QByteArray out = rig.feed(frame(CommandCode::RDPO));
    QCOMPARE(out.left(9), frame(CommandCode::TDPO));
    QCOMPARE(out.size(), 9 + 256);
    QCOMPARE(rig.advance(1s), QByteArray());
    QVERIFY(!rig.store.load(ImageKind::Data));
}

void TestDeviceMachine::firstBlockThatBeginsWithTheRequest() {
    Rig rig;
    QByteArray image = TestImage(ImageSize(TransferMode(2)), 16);
    image.replace(0, 9, frame(CommandCode::TFPO));
    rig.feed(frame(CommandCode::TFPO));
    // Nothing follows the block, so after a pause it is taken as the block it is.
    QCOMPARE(rig.feed(image.left(256)), QByteArray());
    QCOMPARE(rig.advance(DeviceMachine::BlockGap), frame(CommandCode::RRSS));
    QVERIFY(rig.sendBlocks(image.mid(256), CrcTableOf(image)).endsWith(frame(CommandCode::RCVS)));
    rig.settle();
    QCOMPARE(rig.store.load(ImageKind::Default), std::optional<QByteArray>(image));
}

void TestDeviceMachine::uploadSendsTheStoredImage_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("stored");
    for (int mode = 5; mode <= 7; ++mode) {
        QTest::addRow("%s, stored", TransferModeNames[mode]) << mode << true;
        QTest::addRow("%s, pattern", TransferModeNames[mode]) << mode << false;
    }
}

void TestDeviceMachine::uploadSendsTheStoredImage() {
    QFETCH(int, mode);
    QFETCH(bool, stored);
    Rig rig;
    const ImageKind kind = KindOfMode(mode);
    const QByteArray image =
        stored ? TestImage(ImageSize(TransferMode(mode)), 11) : PatternImage(kind);
    if (stored)
        QVERIFY(rig.store.save(kind, image));
    const QByteArray got = rig.receiveUpload(mode);
    QCOMPARE(got.size(), image.size() + image.size() / 64);
    QVERIFY(got.left(image.size()) == image);
    QVERIFY(got.mid(image.size()) == CrcTableOf(image));
    // Nothing follows the last block; the tool's verdict and flash frames end the upload.
    QCOMPARE(rig.feed(frame(CommandCode::RRSS)), QByteArray());
    QCOMPARE(rig.feed(frame(CommandCode::RCVS)), QByteArray());
    QVERIFY(!rig.machine.idle());
    QCOMPARE(rig.feed(frame(CommandCode::REFS) + frame(CommandCode::RWFS)), QByteArray());
    QVERIFY(rig.machine.idle());
    QCOMPARE(rig.machine.operationsEnded(), 1);
}

void TestDeviceMachine::uploadPatternIsTheSameEveryRun() {
    Rig first;
    Rig second;
    const QByteArray a = first.receiveUpload(6);
    QCOMPARE(second.receiveUpload(6), a);
    QVERIFY(blockOf(a, 0) != blockOf(a, 1));
    QVERIFY(PatternImage(ImageKind::Default) != PatternImage(ImageKind::Data).left(131072));
}

void TestDeviceMachine::uploadEndsOnRRFD() {
    Rig rig;
    QCOMPARE(rig.receiveUpload(7, 3).size(), 3 * 256);
    QCOMPARE(rig.feed(frame(CommandCode::RRFD)), QByteArray());
    QVERIFY(rig.machine.idle());
    QCOMPARE(rig.machine.operationsEnded(), 1);
    QCOMPARE(rig.feed(frame(CommandCode::TSPO)), frame(CommandCode::RSPO));
}

void TestDeviceMachine::uploadEndsThoughFramesWereLost_data() {
    QTest::addColumn<QByteArrayList>("frames");
    const QByteArray rrss = frame(CommandCode::RRSS);
    const QByteArray rcvs = frame(CommandCode::RCVS);
    const QByteArray refs = frame(CommandCode::REFS);
    const QByteArray rwfs = frame(CommandCode::RWFS);
    QTest::newRow("RCVS lost") << QByteArrayList{rrss, refs, rwfs};
    QTest::newRow("RCVS and REFS lost") << QByteArrayList{rrss, rwfs};
    QTest::newRow("last RRSS lost") << QByteArrayList{rcvs, refs, rwfs};
}

// The tool purges its output before every frame, so one can be lost behind the next.
void TestDeviceMachine::uploadEndsThoughFramesWereLost() {
    QFETCH(QByteArrayList, frames);
    Rig rig;
    QStringList warnings;
    rig.machine.setWarningSink([&](const QString &text) { warnings << text; });
    QCOMPARE(rig.receiveUpload(7).size(), 520 * 256);
    for (const QByteArray &f : frames) {
        QVERIFY(!rig.machine.idle()); // the upload ends on the tool's last frame, not before
        QCOMPARE(rig.feed(f), QByteArray());
    }
    QVERIFY(rig.machine.idle());
    QCOMPARE(rig.machine.operationsEnded(), 1);
    QCOMPARE(warnings.size(), 1);
}

void TestDeviceMachine::uploadRequestedAgainStartsAgain() {
    Rig rig;
    const QByteArray first = rig.receiveUpload(7, 2);
    // The tool missed the answer and asks again: the upload starts from block 0.
    const QByteArray again = rig.feed(frame(CommandCode::RFPO));
    QCOMPARE(again, frame(CommandCode::TFPO) + first.left(256));
}

// The tool asked again before the answer reached it: a good device answers one request once.
// A request after the tool let go of the port, or long after and past many copies, is the tool
// starting again.
void TestDeviceMachine::copyOfTheRequestIsDrained_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("copiesFirst"); // drained at once, before the one judged
    QTest::addColumn<int>("afterMs");
    QTest::addColumn<bool>("letGo");
    QTest::addColumn<bool>("copy");
    for (const int mode : {2, 7}) {
        const char *op = mode == 2 ? "download" : "upload";
        QTest::addRow("%s, at once", op) << mode << 0 << 0 << false << true;
        QTest::addRow("%s, read late by a device kept from running", op)
            << mode << 0 << 600 << false << true;
        QTest::addRow("%s, after the tool let go", op) << mode << 0 << 0 << true << false;
        QTest::addRow("%s, long after and past many copies", op)
            << mode << DeviceMachine::MaxCopies << 600 << false << false;
    }
}

void TestDeviceMachine::copyOfTheRequestIsDrained() {
    QFETCH(int, mode);
    QFETCH(int, copiesFirst);
    QFETCH(int, afterMs);
    QFETCH(bool, letGo);
    QFETCH(bool, copy);
    Rig rig;
    const QByteArray image = TestImage(ImageSize(TransferMode(mode)), 21);
    QVERIFY(rig.store.save(ImageKind::Default, image));
    const QByteArray request = frame(RequestOfMode[mode]);
    const QByteArray answer = frame(ReplyOfMode[mode]);
    const QByteArray first = rig.feed(request);
    QVERIFY(first.startsWith(answer));
    for (int k = 0; k < copiesFirst; ++k) {
        QCOMPARE(rig.feed(request), QByteArray());
        QCOMPARE(rig.advance(DeviceMachine::BlockGap), QByteArray());
    }
    rig.advance(std::chrono::milliseconds(afterMs));
    if (letGo)
        rig.machine.toolLetGo();
    QByteArray again = rig.feed(request);
    again += rig.advance(DeviceMachine::BlockGap);
    QCOMPARE(again, copy ? QByteArray() : first);
    // Either way the operation goes on from its start as the tool sees it.
    if (IsUpload(TransferMode(mode))) {
        QCOMPARE(rig.feed(frame(CommandCode::RRSS)), blockOf(image, 1));
    } else {
        QVERIFY(rig.sendBlocks(image, CrcTableOf(image)).endsWith(frame(CommandCode::RCVS)));
        rig.settle();
        QCOMPARE(rig.store.load(ImageKind::Default), std::optional<QByteArray>(image));
    }
}

void TestDeviceMachine::silentNeverAnswers() {
    Rig rig({"silent"});
    QByteArray out;
    for (int mode = 0; mode < TransferModeCount; ++mode)
        out += rig.feed(frame(RequestOfMode[mode]));
    out += rig.feed(QByteArray(4096, '\x55'));
    out += rig.settle();
    QCOMPARE(out, QByteArray());
}

void TestDeviceMachine::wrongReplyAnswersAnotherMode() {
    for (int mode = 0; mode < TransferModeCount; ++mode) {
        Rig rig({"wrong-reply"});
        const QByteArray request = frame(RequestOfMode[mode]);
        const QByteArray out = rig.feed(request);
        QCOMPARE(out.size(), 9);
        QVERIFY(out != frame(ReplyOfMode[mode]));
        QVERIFY(std::find(std::begin(ReplyOfMode), std::end(ReplyOfMode),
                          DecodeFrame(out.constData()).value()) != std::end(ReplyOfMode));
        QCOMPARE(rig.feed(request), out); // still idle: every attempt gets the same
    }
}

void TestDeviceMachine::strayByteSpoilsEachConnectionsFirstAnswer() {
    Rig rig({"stray-byte"});
    const QByteArray request = frame(CommandCode::TFPO);
    QCOMPARE(rig.feed(request), "\xff" + frame(CommandCode::RFPO));
    QCOMPARE(rig.feed(request), frame(CommandCode::RFPO));
    const QByteArray image = TestImage(ImageSize(TransferMode(2)), 4);
    rig.sendBlocks(image, CrcTableOf(image));
    rig.settle();
    QCOMPARE(rig.machine.operationsEnded(), 1);
    QCOMPARE(rig.feed(request), "\xff" + frame(CommandCode::RFPO));
}

void TestDeviceMachine::nakBlockRefusesThatBlock() {
    Rig rig({"nak-block=2"});
    const QByteArray image = TestImage(ImageSize(TransferMode(2)), 2);
    rig.feed(frame(CommandCode::TFPO));
    QCOMPARE(rig.feed(image.left(3 * 256)),
             repeated(CommandCode::RRSS, 2) + frame(CommandCode::RRFD));
    QVERIFY(rig.machine.idle());
    QCOMPARE(rig.feed(frame(CommandCode::TFPO)), frame(CommandCode::RFPO));
}

void TestDeviceMachine::badChecksum() {
    Rig rig({"bad-checksum"});
    const QByteArray image = TestImage(ImageSize(TransferMode(2)), 6);
    rig.feed(frame(CommandCode::TFPO));
    QVERIFY(rig.sendBlocks(image, CrcTableOf(image)).endsWith(frame(CommandCode::RCVF)));
    QCOMPARE(rig.settle(), QByteArray());
    QVERIFY(!rig.store.load(ImageKind::Default));

    QVERIFY(rig.store.save(ImageKind::Default, image));
    const QByteArray got = rig.receiveUpload(7);
    QVERIFY(got.left(image.size()) == image);
    const QByteArray table = got.mid(image.size());
    const QByteArray right = CrcTableOf(image);
    QVERIFY(table != right);
    QVERIFY(table.mid(4) == right.mid(4)); // only block 0's checksum is wrong
}

void TestDeviceMachine::flashFaults_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("afterVerify");
    QTest::newRow("erase-fail") << "erase-fail" << frame(CommandCode::REFF);
    QTest::newRow("program-fail") << "program-fail"
                                  << frame(CommandCode::REFS) + frame(CommandCode::RWFF);
}

void TestDeviceMachine::flashFaults() {
    QFETCH(QString, fault);
    QFETCH(QByteArray, afterVerify);
    Rig rig({fault});
    const QByteArray image = TestImage(ImageSize(TransferMode(3)), 9);
    rig.feed(frame(CommandCode::TLPO));
    QVERIFY(rig.sendBlocks(image, CrcTableOf(image)).endsWith(frame(CommandCode::RCVS)));
    QCOMPARE(rig.settle(), afterVerify);
    QVERIFY(!rig.store.load(ImageKind::Loader));
    QCOMPARE(rig.machine.operationsEnded(), 1);
}

void TestDeviceMachine::stopAfter_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("blocks");
    QTest::newRow("download, in the data") << 2 << 3;
    QTest::newRow("download, before the verdict") << 2 << 520;
    QTest::newRow("upload") << 7 << 3;
}

void TestDeviceMachine::stopAfter() {
    QFETCH(int, mode);
    QFETCH(int, blocks);
    Rig rig({QStringLiteral("stop-after=%1").arg(blocks)});
    const QByteArray image = TestImage(ImageSize(TransferMode(mode)), 10);
    if (IsUpload(TransferMode(mode))) {
        QVERIFY(rig.store.save(KindOfMode(mode), image));
        QCOMPARE(rig.receiveUpload(mode, blocks + 1), image.left(blocks * 256));
        QCOMPARE(rig.settle(), QByteArray());
        QCOMPARE(rig.feed(frame(CommandCode::RRFD)), QByteArray());
        QCOMPARE(rig.machine.operationsEnded(), 1);
    } else {
        rig.feed(frame(RequestOfMode[mode]));
        QCOMPARE(rig.sendBlocks(image, CrcTableOf(image)), repeated(CommandCode::RRSS, blocks));
        QCOMPARE(rig.settle(), QByteArray());
        QVERIFY(!rig.store.load(KindOfMode(mode)));
    }
    // The next connection is answered again.
    QCOMPARE(rig.feed(frame(CommandCode::TSPO)), frame(CommandCode::RSPO));
}

void TestDeviceMachine::hangupAfter_data() {
    QTest::addColumn<int>("mode");
    QTest::newRow("download") << 2;
    QTest::newRow("upload") << 7;
}

void TestDeviceMachine::hangupAfter() {
    QFETCH(int, mode);
    Rig rig({"hangup-after=2"});
    const QByteArray image = TestImage(ImageSize(TransferMode(mode)), 12);
    QByteArray out;
    if (IsUpload(TransferMode(mode))) {
        QVERIFY(rig.store.save(KindOfMode(mode), image));
        out = rig.receiveUpload(mode, 3);
    } else {
        rig.feed(frame(RequestOfMode[mode]));
        out = rig.feed(image.left(3 * 256));
    }
    QCOMPARE(out,
             IsUpload(TransferMode(mode)) ? image.left(2 * 256) : repeated(CommandCode::RRSS, 2));
    QVERIFY(rig.machine.lineClosed());
    QCOMPARE(rig.feed(frame(CommandCode::TSPO)), QByteArray());
    QVERIFY(!rig.machine.nextWake());
}

void TestDeviceMachine::replyDelayHoldsEveryAnswer() {
    Rig rig({"reply-delay=20"});
    QCOMPARE(rig.feed(frame(CommandCode::TFPO)), QByteArray());
    QCOMPARE(rig.machine.nextWake(), std::optional<Time>(rig.now + 20ms));
    QCOMPARE(rig.advance(19ms), QByteArray());
    QCOMPARE(rig.advance(1ms), frame(CommandCode::RFPO));
    QCOMPARE(rig.feed(blockOf(TestImage(ImageSize(TransferMode(2)), 1), 0)), QByteArray());
    QCOMPARE(rig.advance(20ms), frame(CommandCode::RRSS));
}

void TestDeviceMachine::flipBitCorruptsOneBitAfterTheChecksum() {
    Rig rig({"flip-bit=1"});
    const QByteArray image = TestImage(ImageSize(TransferMode(7)), 13);
    QVERIFY(rig.store.save(ImageKind::Default, image));
    const QByteArray got = rig.receiveUpload(7);
    QCOMPARE(got.size(), image.size() + image.size() / 64);
    QByteArray expected = image;
    expected[256] = char(expected[256] ^ 0x01);
    QVERIFY(got.left(image.size()) == expected);
    QVERIFY(got.mid(image.size()) == CrcTableOf(image)); // the table is the true one
}

void TestDeviceMachine::pacingFollowsTheLine() {
    Rig rig({}, 115200);
    const auto bytes = [](int n) {
        return std::chrono::nanoseconds(qint64(n) * 11000000000 / 115200);
    };
    // The request takes 9 byte times to arrive, the answer 9 more to leave.
    QCOMPARE(rig.feed(frame(CommandCode::TFPO)), QByteArray());
    const Time replied = rig.now + bytes(9) + bytes(9);
    QCOMPARE(rig.machine.nextWake(), std::optional<Time>(replied));
    QCOMPARE(rig.advance(replied - rig.now), frame(CommandCode::RFPO));
    // A block is answered no earlier than 256 + 9 byte times after it started: 25.30 ms at 115200.
    QCOMPARE(rig.feed(blockOf(TestImage(ImageSize(TransferMode(2)), 1), 0)), QByteArray());
    QCOMPARE(rig.machine.nextWake(), std::optional<Time>(rig.now + bytes(256) + bytes(9)));
    QVERIFY(bytes(265) > 25290us && bytes(265) < 25310us);
    QCOMPARE(rig.advance(bytes(256) + bytes(9)), frame(CommandCode::RRSS));
}

void TestDeviceMachine::floodOfInputIsDroppedNotHeld_data() {
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<qint32>("baud");
    QTest::addColumn<QByteArray>("flood");
    QTest::newRow("requests, answers held back")
        << QStringList{"wrong-reply", "reply-delay=20"} << 0 << repeated(CommandCode::TSPO, 100000);
    QTest::newRow("acknowledgements ahead of a paced upload")
        << QStringList() << 115200 << frame(CommandCode::RSPO) + repeated(CommandCode::RRSS, 7000);
}

// A tool that floods the device and reads nothing costs it no more than its queue's bound.
void TestDeviceMachine::floodOfInputIsDroppedNotHeld() {
    QFETCH(QStringList, faults);
    QFETCH(qint32, baud);
    QFETCH(QByteArray, flood);
    Rig rig(faults, baud);
    for (qsizetype at = 0; at < flood.size(); at += 4096) {
        rig.feed(flood.mid(at, 4096));
        QVERIFY(rig.machine.queuedBytes() <= DeviceMachine::MaxQueuedBytes);
    }
    QVERIFY(rig.machine.inputDropped() > 0);
    rig.settle();
    QCOMPARE(rig.machine.queuedBytes(), 0);
    // It keeps serving.
    QByteArray answer = rig.feed(frame(CommandCode::TSPO));
    answer += rig.settle();
    QVERIFY(answer.startsWith("@KZVN"));
}

void TestDeviceMachine::faultTexts_data() {
    QTest::addColumn<QString>("faultText");
    QTest::addColumn<bool>("valid");
    for (const char *ok :
         {"silent", "nak-block=0", "wrong-reply", "stray-byte", "bad-checksum", "erase-fail",
          "program-fail", "stop-after=7", "hangup-after=1", "reply-delay=250", "flip-bit=3"})
        QTest::newRow(ok) << ok << true;
    for (const char *bad : {"", "loud", "silent=1", "nak-block", "nak-block=", "nak-block=x",
                            "stop-after=-1", "reply-delay=1e3", "flip-bit=2.5"})
        QTest::newRow(*bad ? bad : "empty") << bad << false;
}

void TestDeviceMachine::faultTexts() {
    QFETCH(QString, faultText);
    QFETCH(bool, valid);
    DeviceFaults faults;
    QString error;
    QCOMPARE(AddFault(faults, faultText, &error), valid);
    QCOMPARE(error.isEmpty(), valid);
}

void TestDeviceMachine::fileStoreKeepsWholeImagesOnly() {
    QTemporaryDir dir;
    QStringList warnings;
    FileImageStore store(dir.filePath("images"), [&](const QString &w) { warnings << w; });
    QCOMPARE(store.prepare(), QStringList());
    QVERIFY(!store.load(ImageKind::Data));
    const QByteArray image = TestImage(ImageSize(TransferMode(1)), 14);
    QVERIFY(!store.save(ImageKind::Data, image.left(1000)));
    QVERIFY(store.save(ImageKind::Data, image));
    QCOMPARE(store.load(ImageKind::Data), std::optional<QByteArray>(image));
    QCOMPARE(QDir(dir.filePath("images")).entryList(QDir::Files), QStringList{"data.bin"});

    QFile wrong(store.pathOf(ImageKind::Loader));
    QVERIFY(wrong.open(QIODevice::WriteOnly));
    wrong.write("short");
    wrong.close();
    QCOMPARE(store.prepare().size(), 1);
    QVERIFY(!store.load(ImageKind::Loader));
    QCOMPARE(warnings.size(), 1);
}

// A write the system refuses part way (here a file size limit, as a full disk does) leaves the old
// image and no stray file, and the warning gives the system's reason.
void TestDeviceMachine::fileStoreSaysWhyItCannotWrite() {
    QTemporaryDir dir;
    QStringList warnings;
    FileImageStore store(dir.path(), [&](const QString &w) { warnings << w; });
    const QByteArray old = TestImage(ImageSize(TransferMode::DownloadData), 18);
    QVERIFY(store.save(ImageKind::Data, old));

    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100000;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written =
        store.save(ImageKind::Data, TestImage(ImageSize(TransferMode::DownloadData), 19));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!written);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].contains(QString::fromLocal8Bit(std::strerror(EFBIG))),
             qPrintable(warnings[0]));
    QCOMPARE(store.load(ImageKind::Data), std::optional<QByteArray>(old));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"data.bin"});
}

QTEST_GUILESS_MAIN(TestDeviceMachine)
#include "tst_device_machine.moc"
