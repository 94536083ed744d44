// torvane-cli: the operations of the window for scripts, service benches and production lines.
#include "cli/cli_options.h"
#include "cli/exit_code.h"
#include "cli/interrupt.h"
#include "cli/port_list.h"
#include "cli/terminal_console.h"
#include "cli/terminal_output.h"
#include "cli/upload_target.h"
#include "cli/wire_trace.h"
#include "link/com_overrides.h"
#include "link/line.h"
#include "link/standard_streams.h"
#include "link/system_ports.h"
#include "link/tmscomm.h"
#include "link/transfer_mode.h"
#include "ops/driver.h"
#include "ops/transfer_state.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

#include <cstdio>
#include <memory>
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
    TerminalOutput output(stdout, stderr, ::isatty(STDERR_FILENO) == 1);

    auto state = std::make_unique<TransferState>();
    OperationRequest request;
    request.mode = options.mode;
    request.portIndex = options.portIndex;
    request.portPath = options.portPath;
    request.file = options.file;
    if (IsUpload(options.mode)) {
        // The window asks before covering a file; here the operator has said so, or not.
        const UploadTarget target = CheckUploadTarget(options.file, options.overwrite);
        if (!target.usable) {
            output.errorLine(QStringLiteral("torvane-cli: %1").arg(target.reason));
            output.statusLine(resultLine(ExitCode::FileRefused, options, {}));
            return int(ExitCode::FileRefused);
        }
        request.createNewFile = !target.exists;
    }

    InstallInterruptHandlers();
    TMSComm comm;
    // Say which device the port named stands for; the port opens the device said.
    const ComPortMap ports = options.portPath.isEmpty() ? comPorts() : ComPortMap();
    comm.setComPorts([ports] { return ports; });
    for (const QString &note : PortNotes(options, ports))
        output.errorLine(note);
    TerminalConsole console(output);
    Line line(comm, console);
    console.attach(line, *state);
    std::unique_ptr<WireTrace> trace;
    if (options.trace) {
        trace = std::make_unique<WireTrace>(output, start);
        comm.setTraceSink([&trace](TMSComm::Direction direction, const QByteArray &bytes) {
            trace->record(direction, bytes);
        });
    }

    const OperationResult result = RunOperation(line, *state, request, console);
    console.finish();
    // The port is let go before the result is told: the next tool on the line may open it.
    comm.setPortOpen(false);
    if (trace)
        trace->flush();

    // Why a step failed when the device is not to blame (a file changed, a save refused).
    if (result.ending == Ending::Completed && !result.succeeded() && !result.detail.isEmpty())
        output.errorLine(QStringLiteral("torvane-cli: %1").arg(result.detail));
    const ExitCode code = ExitCodeOf(result, console.interrupted() || InterruptRequested());
    output.statusLine(resultLine(code, options, console.operationTime()));
    return int(code);
}
