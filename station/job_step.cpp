#include "station/job_step.h"

#include <algorithm>

namespace {

struct Kind {
    const char *name;
    TransferMode download;
    TransferMode upload;
    bool uploadable; // an upload mode reads it: it can be saved and read back
};

constexpr Kind Kinds[] = {
    {"software", TransferMode::DownloadSoftware, TransferMode::UploadSoftware, true},
    {"data", TransferMode::DownloadData, TransferMode::UploadData, true},
    {"default", TransferMode::DownloadDefault, TransferMode::UploadDefault, true},
    {"loader", TransferMode::DownloadLoader, TransferMode::DownloadLoader, false},
    {"all", TransferMode::DownloadAll, TransferMode::DownloadAll, false},
};

constexpr const char *CommandWords[] = {"download", "upload", "verify"};

} // namespace

QString CommandWord(StepCommand command) {
    return QLatin1String(CommandWords[int(command)]);
}

QString KindsOf(StepCommand command) {
    return command == StepCommand::Download
               ? QStringLiteral("software, data, default, loader or all")
               : QStringLiteral("software, data or default");
}

QString ReadStep(const QStringList &words, JobStep *into) {
    const QString word = words.value(0).toLower();
    const auto command =
        std::find_if(std::begin(CommandWords), std::end(CommandWords),
                     [&](const char *known) { return word == QLatin1String(known); });
    if (command == std::end(CommandWords))
        return QStringLiteral("unknown command '%1': download, upload or verify")
            .arg(words.value(0));
    const auto which = StepCommand(command - std::begin(CommandWords));
    const QString kind = words.value(1).toLower();
    for (const Kind &k : Kinds) {
        if (kind != QLatin1String(k.name))
            continue;
        if (which == StepCommand::Verify && !k.uploadable)
            return QStringLiteral("verify %1: no upload mode reads a device's %1 back; verify "
                                  "takes software, data or default")
                .arg(kind);
        if (which == StepCommand::Upload && !k.uploadable)
            break;
        into->command = which;
        into->mode = which == StepCommand::Download ? k.download : k.upload;
        into->file = words.value(2);
        return QString();
    }
    return QStringLiteral("unknown %1 kind '%2': %3")
        .arg(CommandWord(which), words.value(1), KindsOf(which));
}

std::optional<JobStep> ReadBackOf(const JobStep &step) {
    if (step.command != StepCommand::Download)
        return std::nullopt;
    for (const Kind &k : Kinds) {
        if (k.download == step.mode && k.uploadable) {
            JobStep readBack = step;
            readBack.command = StepCommand::Verify;
            readBack.mode = k.upload;
            return readBack;
        }
    }
    return std::nullopt;
}

QString StepName(const JobStep &step) {
    const QString name = QLatin1String(ModeName(step.mode));
    // "Upload Software" read back is "Verify Software".
    return step.command == StepCommand::Verify
               ? QStringLiteral("Verify ") + name.section(QLatin1Char(' '), 1)
               : name;
}

QString JobName(const QList<JobStep> &steps) {
    QStringList names;
    for (const JobStep &step : steps)
        names << StepName(step);
    return names.join(QStringLiteral(", "));
}

QString StepLabel(int index, int steps, const JobStep &step) {
    return QStringLiteral("step %1 of %2: %3").arg(index + 1).arg(steps).arg(StepName(step));
}

qint64 JobBytes(const QList<JobStep> &steps) {
    qint64 bytes = 0;
    for (const JobStep &step : steps)
        bytes += ImageSize(step.mode);
    return bytes;
}

bool AnyUpload(const QList<JobStep> &steps) {
    return std::any_of(steps.begin(), steps.end(),
                       [](const JobStep &step) { return step.command == StepCommand::Upload; });
}
