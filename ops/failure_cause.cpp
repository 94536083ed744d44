#include "ops/failure_cause.h"

#include "link/checksum.h"
#include "link/line.h"

namespace {

// A frame or byte as it came: printable characters as they are, others in hex.
QString shown(const QByteArray &bytes) {
    constexpr int most = 32;
    QString text;
    for (const char c : bytes.left(most)) {
        const auto u = static_cast<unsigned char>(c);
        text += u >= 0x20 && u < 0x7f ? QString(QLatin1Char(c))
                                      : QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    if (bytes.size() > most)
        text += QStringLiteral("...");
    return text;
}

QString polls(qint32 count) {
    return QStringLiteral("%L1 polls").arg(count);
}

// What came instead of the reply awaited, for the detail.
QString instead(const ReplySeen &seen) {
    switch (seen.end) {
    case ReplySeen::End::NoReply:
        return seen.received.isEmpty()
                   ? QStringLiteral("nothing came within %1").arg(polls(seen.polls))
                   : QStringLiteral("only \"%1\" (%2 bytes) came within %3")
                         .arg(shown(seen.received))
                         .arg(seen.received.size())
                         .arg(polls(seen.polls));
    case ReplySeen::End::StrayByte:
        return QStringLiteral("a stray byte \"%1\" came first").arg(shown(seen.received));
    case ReplySeen::End::OtherFrame:
    case ReplySeen::End::Expected:
        break;
    }
    return QStringLiteral("\"%1\" came").arg(shown(seen.received));
}

} // namespace

Failure Because(const QString &cause, const QString &specifics) {
    return {cause, specifics.isEmpty() ? cause : QStringLiteral("%1: %2").arg(cause, specifics)};
}

QString DataBlockName(qint32 block) {
    return QStringLiteral("data block %1").arg(block);
}

QString ChecksumBlockName(qint32 block) {
    return QStringLiteral("checksum block %1").arg(block);
}

Failure BlockNotAcknowledged(const ReplySeen &seen, const QString &block) {
    if (seen.end == ReplySeen::End::OtherFrame && seen.received == FrameOf(CommandCode::RRFD))
        return Because(QStringLiteral("the device refused %1").arg(block),
                       QStringLiteral("it answered RRFD"));
    const QString specifics =
        QStringLiteral("%1 was not acknowledged (RRSS): %2").arg(block, instead(seen));
    if (seen.end == ReplySeen::End::NoReply)
        return Because(QStringLiteral("no answer from the device"), specifics);
    return Because(QStringLiteral("the device answered %1 wrongly").arg(block), specifics);
}

Failure StepNotConfirmed(const ReplySeen &seen, CommandCode expected, CommandCode refusal,
                         const QString &refused) {
    const QString awaited = QString::fromLatin1(CommandText(expected).right(4));
    if (seen.end == ReplySeen::End::OtherFrame && seen.received == FrameOf(refusal))
        return Because(QStringLiteral("the device %1").arg(refused),
                       QStringLiteral("it answered %1")
                           .arg(QString::fromLatin1(CommandText(refusal).right(4))));
    const QString specifics = QStringLiteral("%1 was awaited: %2").arg(awaited, instead(seen));
    if (seen.end == ReplySeen::End::NoReply)
        return Because(QStringLiteral("no answer from the device"), specifics);
    return Because(QStringLiteral("the device gave a wrong answer"), specifics);
}

Failure NoConnection(const ReplySeen &last, int requests) {
    const QString specifics = QStringLiteral("%L1 connect requests, the last answered so: %2")
                                  .arg(requests)
                                  .arg(instead(last));
    if (last.end == ReplySeen::End::NoReply)
        return Because(QStringLiteral("no answer from the device"), specifics);
    return Because(QStringLiteral("the device answered the connect request wrongly"), specifics);
}

Failure BlockMissing(const QString &block, qint32 pollCount, int waiting) {
    return Because(QStringLiteral("no answer from the device"),
                   QStringLiteral("%1 did not come within %2 (%3 of %4 bytes came)")
                       .arg(block, polls(pollCount))
                       .arg(waiting)
                       .arg(BlockSize));
}

Failure ChecksumsDiffer(qint32 block) {
    return Because(QStringLiteral("the image received is not the device's"),
                   QStringLiteral("the device's checksum of %1 differs from that of the block "
                                  "received")
                       .arg(DataBlockName(block)));
}
