#include "station_window/refusal_words.h"

#include "station/plan_rules.h"
#include "station/port_file_name.h"
#include "station/station_run.h"

#include <QFileInfo>

namespace {

QString problemWords(const PlanProblem &problem) {
    using K = PlanProblem::Kind;
    switch (problem.kind) {
    case K::NoFile:
        return QStringLiteral("Choose the file first (Open, Ctrl+O).");
    case K::NoPorts:
        return QStringLiteral("Check the ports to serve in the list of ports.");
    case K::UnknownPort:
        return QStringLiteral("%1 names no port: COM.01 ... COM.10, a device path or a "
                              "/dev/serial/by-id name.")
            .arg(problem.port);
    case K::BadPortName:
        return QStringLiteral("The port %1.").arg(problem.detail);
    case K::PatternWithoutWatch:
        return QStringLiteral("%1 is a pattern: check Watch to serve the ports that match it as "
                              "they appear.")
            .arg(problem.port);
    case K::PortTwice:
        return QStringLiteral("%1 is checked twice: one device, one owner.").arg(problem.port);
    case K::UploadNeedsPortName:
        return QStringLiteral("With several ports the upload file needs %1 in its name, e.g. "
                              "back-%1.bin: each device's image goes to a file of its own.")
            .arg(QLatin1String(PortPlaceholder));
    case K::OverwriteForDownload:
        return QStringLiteral("Overwrite applies to uploads only.");
    case K::ExpectedHashForUpload:
        return QStringLiteral("An expected SHA-256 applies to downloads and read-backs only: "
                              "clear the SHA-256 field for an upload.");
    case K::BadExpectedHash:
        return QStringLiteral("The expected SHA-256 is 64 hexadecimal digits, not %1.")
            .arg(problem.detail);
    case K::BadLotName:
        return QStringLiteral("The lot's name: %1.").arg(problem.detail);
    case K::RetriesOutOfRange:
        return QStringLiteral("Retries go from 0 to %1.").arg(MaxRetries);
    }
    return QString();
}

} // namespace

QString PlanProblemWords(const PlanProblem &problem) {
    const QString words = problemWords(problem);
    return problem.step > 0 ? QStringLiteral("Step %1: %2").arg(problem.step).arg(words) : words;
}

QString RefusalWords(const StationRefusal &refusal) {
    // A job's step names itself first.
    const QString step =
        refusal.step > 0 ? QStringLiteral("Step %1, %2: ").arg(refusal.step).arg(refusal.stepName)
                         : QString();
    using Kind = StationRefusal::Kind;
    switch (refusal.kind) {
    case Kind::File: {
        if (refusal.status.isEmpty())
            return step + refusal.error;
        // The image's check: its status says what is wrong, and the file is named whole (a
        // name given from another folder is looked for in this one) where the reason does not
        // name it already.
        QString why = refusal.error;
        const QString whole = QFileInfo(refusal.place).absoluteFilePath();
        if (!why.contains(whole))
            why = why.isEmpty() ? QStringLiteral("The image: %1").arg(whole)
                                : QStringLiteral("The image %1: %2").arg(whole, why);
        return step + refusal.status + QLatin1Char('\n') + why;
    }
    case Kind::SameDevice:
        return QStringLiteral("%1 and %2 are the same device (%3): one device, one owner.")
            .arg(refusal.first, refusal.second, refusal.place);
    case Kind::SameTarget:
        return QStringLiteral("%1 and %2 would both save to %3.")
            .arg(refusal.first, refusal.second, refusal.place);
    case Kind::ImageDiffers:
        return step + QStringLiteral("%1 is not the image expected: no board was started.\n\n"
                                     "Its SHA-256:  %2\nExpected:      %3")
                          .arg(refusal.place, refusal.actual, refusal.expected);
    }
    return refusal.error;
}
