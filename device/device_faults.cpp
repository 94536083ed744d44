#include "device/device_faults.h"

const FaultDoc FaultDocs[FaultCount] = {
    {"silent", "never answers anything"},
    {"nak-block=N", "download: answers data block N (0-based) with RRFD"},
    {"wrong-reply", "answers a connect request with another mode's code"},
    {"stray-byte", "one stray byte ahead of the first answer to each connection, so that attempt "
                   "fails and the next one connects"},
    {"bad-checksum", "download: reports RCVF; upload: sends a wrong checksum table"},
    {"erase-fail", "download: reports REFF after the erase time"},
    {"program-fail", "download: reports RWFF after the program time"},
    {"stop-after=N", "goes silent for the rest of the operation after N blocks"},
    {"hangup-after=N", "closes the line after N blocks; a device on its own then exits"},
    {"reply-delay=MS", "every answer MS milliseconds late; copies of a connect request that come "
                       "meanwhile are drained"},
    {"answer-every=MS",
     "answers every connect request it reads, copies included, each MS milliseconds after it, "
     "then takes what follows as the operation (a slow boot loader)"},
    {"flip-bit=K", "upload: flips the lowest bit of data block K after its checksum is taken"},
    {"answer-once", "answers the first connect request of an operation only, and takes every "
                    "byte after it as the operation's, copies of the request included (a simple "
                    "boot loader)"},
    {"latency=MS", "passes what it sends on in bursts, when a timer of MS milliseconds fires, as "
                   "a USB adapter's latency timer does"},
    {"read-latency=MS", "takes what the tool sends in bursts, when a timer of MS milliseconds "
                        "fires"},
};

namespace {

constexpr int MaxCount = 1000000;
constexpr int MaxDelayMs = 600000;

bool number(const QString &name, const QString &text, int max, int *out, QString *error) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 0 || value > max) {
        *error = QStringLiteral("fault \"%1\" takes a whole number from 0 to %2, not \"%3\"")
                     .arg(name)
                     .arg(max)
                     .arg(text);
        return false;
    }
    *out = value;
    return true;
}

} // namespace

bool AddFault(DeviceFaults &faults, const QString &faultText, QString *error) {
    const qsizetype eq = faultText.indexOf(QLatin1Char('='));
    const QString name = (eq < 0 ? faultText : faultText.left(eq)).trimmed();
    const bool hasArg = eq >= 0;
    const QString arg = hasArg ? faultText.mid(eq + 1).trimmed() : QString();

    bool *flag = nullptr;
    std::optional<int> *count = nullptr;
    if (name == QLatin1String("silent"))
        flag = &faults.silent;
    else if (name == QLatin1String("wrong-reply"))
        flag = &faults.wrongReply;
    else if (name == QLatin1String("stray-byte"))
        flag = &faults.strayByte;
    else if (name == QLatin1String("bad-checksum"))
        flag = &faults.badChecksum;
    else if (name == QLatin1String("erase-fail"))
        flag = &faults.eraseFail;
    else if (name == QLatin1String("program-fail"))
        flag = &faults.programFail;
    else if (name == QLatin1String("answer-once"))
        flag = &faults.answerOnce;
    else if (name == QLatin1String("nak-block"))
        count = &faults.nakBlock;
    else if (name == QLatin1String("stop-after"))
        count = &faults.stopAfter;
    else if (name == QLatin1String("hangup-after"))
        count = &faults.hangupAfter;
    else if (name == QLatin1String("flip-bit"))
        count = &faults.flipBit;
    else if (name != QLatin1String("reply-delay") && name != QLatin1String("answer-every") &&
             name != QLatin1String("latency") && name != QLatin1String("read-latency")) {
        *error = QStringLiteral("unknown fault \"%1\"").arg(name);
        return false;
    }

    if (flag) {
        if (hasArg) {
            *error = QStringLiteral("fault \"%1\" takes no argument").arg(name);
            return false;
        }
        *flag = true;
        return true;
    }
    if (!hasArg) {
        *error = QStringLiteral("fault \"%1\" needs an argument: %1=%2")
                     .arg(name, count ? QStringLiteral("N") : QStringLiteral("MS"));
        return false;
    }
    int value = 0;
    if (!number(name, arg, count ? MaxCount : MaxDelayMs, &value, error))
        return false;
    if (count)
        *count = value;
    else if (name == QLatin1String("answer-every"))
        faults.answerEvery = std::chrono::milliseconds(value);
    else if (name == QLatin1String("latency"))
        faults.latency = std::chrono::milliseconds(value);
    else if (name == QLatin1String("read-latency"))
        faults.readLatency = std::chrono::milliseconds(value);
    else
        faults.replyDelay = std::chrono::milliseconds(value);
    return true;
}
