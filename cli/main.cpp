// torvane-cli: the operations of the window for scripts, service benches and production lines.
#include "cli/cli_options.h"
#include "cli/journal_stream.h"
#include "cli/port_list.h"
#include "cli/station.h"
#include "link/standard_streams.h"
#include "ports/com_overrides.h"
#include "ports/system_ports.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[]) {
    EnsureStandardStreams();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvane-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));

    const ParsedCommandLine parsed = ParseCommandLine(QCoreApplication::arguments());
    if (parsed.action == ParsedCommandLine::Action::Exit) {
        QByteArray message = parsed.message.toLocal8Bit();
        if (parsed.exitCode && !message.endsWith('\n'))
            message += '\n';
        // A usage error ends a service for good: an error in the journal.
        if (parsed.exitCode && IsJournalStream(STDERR_FILENO))
            message = WithPriority(message, JournalPriority::Error);
        std::fputs(message.constData(), parsed.exitCode ? stderr : stdout);
        return parsed.exitCode;
    }
    // TORVANE_COMn is read here and nowhere else.
    const ComPortSource comPorts =
        SystemComPorts(ComOverridesFrom(QProcessEnvironment::systemEnvironment()), UserPortsFile());
    if (parsed.action == ParsedCommandLine::Action::ListPorts)
        return PrintPortList(comPorts());

    // One write per line, whatever stderr is connected to.
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
    return RunStation(parsed.options, comPorts);
}
