// torvane-cli: the operations of the window for scripts, service benches and production lines.
#include "cli/board_run.h"
#include "cli/cli_options.h"
#include "cli/exit_code.h"
#include "cli/held_image.h"
#include "cli/interrupt.h"
#include "cli/port_list.h"
#include "cli/report_file.h"
#include "cli/station.h"
#include "cli/terminal_output.h"
#include "cli/upload_target.h"
#include "link/com_overrides.h"
#include "link/standard_streams.h"
#include "link/system_ports.h"
#include "link/transfer_mode.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

#include <cstdio>
#include <unistd.h>

namespace {

// The last line: the result, and on success the image's bytes and the rate they moved at.
QString resultLine(ExitCode code, const CliOptions &options,
                   std::chrono::steady_clock::duration time) {
    const TransferMode mode = options.mode;
    const QString name = QLatin1String(ModeName(mode));
    if (code != ExitCode::Success)
        return QStringLiteral("torvane-cli: %1 on %2: %3 (exit %4)")
            .arg(name, options.portName, QLatin1String(ExitCodeMeaning(code)))
            .arg(int(code));
    const qint64 bytes = ImageSize(mode);
    const double seconds = std::chrono::duration<double>(time).count();
    const double rate = seconds > 0 ? double(bytes) / seconds : 0;
    return QStringLiteral("torvane-cli: success: %1, %2 bytes in %3 s, %4 bytes/s")
        .arg(name)
        .arg(bytes)
        .arg(seconds, 0, 'f', 3)
        .arg(qint64(rate));
}

} // namespace

int main(int argc, char *argv[]) {
    EnsureStandardStreams();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvane-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));
    const auto start = std::chrono::steady_clock::now();

    const ParsedCommandLine parsed = ParseCommandLine(QCoreApplication::arguments());
    if (parsed.action == ParsedCommandLine::Action::Exit) {
        std::fputs(parsed.message.toLocal8Bit().constData(), parsed.exitCode ? stderr : stdout);
        if (parsed.exitCode && !parsed.message.endsWith(QLatin1Char('\n')))
            std::fputc('\n', stderr);
        return parsed.exitCode;
    }
    // TORVANE_COMn is read here and nowhere else.
    const ComPortSource comPorts =
        SystemComPorts(ComOverridesFrom(QProcessEnvironment::systemEnvironment()), UserPortsFile());
    if (parsed.action == ParsedCommandLine::Action::ListPorts)
        return PrintPortList(comPorts());
    const CliOptions &options = parsed.options;

    // One write per line, whatever stderr is connected to.
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
    if (options.station())
        return RunStation(options, comPorts);
    TerminalOutput output(stdout, stderr, CanRedraw(STDERR_FILENO));

    ReportFile report;
    if (!options.report.isEmpty()) {
        QString why;
        // No board is touched without its record.
        if (!report.open(options.report, &why) ||
            !(why = report.conflictWith(options.file,
                                        IsUpload(options.mode) ? "upload file" : "download file"))
                 .isEmpty()) {
            output.errorLine(QStringLiteral("torvane-cli: %1").arg(why));
            output.statusLine(resultLine(ExitCode::FileRefused, options, {}));
            return int(ExitCode::FileRefused);
        }
    }
    BoardJob job;
    job.request.mode = options.mode;
    job.request.portIndex = options.portIndex;
    job.request.portPath = options.portPath;
    job.request.file = options.file;
    job.portName = options.portName;
    job.overwrite = options.overwrite;
    job.trace = options.trace;
    job.start = start;
    if (IsUpload(options.mode)) {
        // The window asks before covering a file; here the operator has said so, or not.
        const UploadTarget target = CheckUploadTarget(options.file, options.overwrite);
        if (!target.usable) {
            output.errorLine(QStringLiteral("torvane-cli: %1").arg(target.reason));
            output.statusLine(resultLine(ExitCode::FileRefused, options, {}));
            return int(ExitCode::FileRefused);
        }
    }
    // With a report, the image recorded is the image sent: read once, and held locked meanwhile.
    HeldImage image;
    if (report.isOpen() && !IsUpload(options.mode)) {
        image = HoldImageFile(options.file, options.mode);
        if (!image.held()) {
            if (image.refusal)
                output.statusLine(QLatin1String(FileRefusalText(*image.refusal)));
            else
                output.errorLine(QStringLiteral("torvane-cli: %1").arg(image.error));
            output.statusLine(resultLine(ExitCode::FileRefused, options, {}));
            return int(ExitCode::FileRefused);
        }
        job.request.image = image.bytes;
    }

    InstallInterruptHandlers();
    // Say which device the port named stands for; the port opens the device said.
    job.comPorts = options.portPath.isEmpty() ? comPorts() : ComPortMap();
    for (const QString &note : PortNotes(options, job.comPorts))
        output.errorLine(note);
    if (report.isOpen())
        job.identity =
            IdentifyPort(options.portPath.isEmpty() ? job.comPorts.devicePath(options.portIndex + 1)
                                                    : options.portPath,
                         ScanPresentPorts());

    BoardOutcome outcome = RunBoard(job, output);
    if (report.isOpen()) {
        QString why;
        if (!report.append(RecordLine(outcome.record), &why)) {
            output.errorLine(QStringLiteral("torvane-cli: %1").arg(why));
            if (outcome.code == ExitCode::Success)
                outcome.code = ExitCode::FileNotSaved;
        }
    }
    output.statusLine(resultLine(outcome.code, options, outcome.operationTime));
    return int(outcome.code);
}
