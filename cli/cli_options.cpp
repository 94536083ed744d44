#include "cli/cli_options.h"

#include "link/transfer_mode.h"
#include "ports/com_numbering.h"
#include "ports/port_names.h"
#include "station/exit_code.h"
#include "station/station_arguments.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

QString description() {
    QString text = QStringLiteral(
        "Moves a memory image between this computer and a device on a serial port\n"
        "(115200 bit/s, 8E1), with the same checks, handshake and status texts as the window.\n"
        "\n"
        "  torvane-cli download KIND FILE --port PORT [--port PORT ...] [--report FILE] "
        "[--watch]\n"
        "        [--expect-sha256 HEX] [--lot NAME] [--retries N]\n"
        "        KIND: software, data, default, loader, all\n"
        "  torvane-cli upload KIND FILE --port PORT [--port PORT ...] [--overwrite] [--report "
        "FILE]\n"
        "        [--lot NAME] [--retries N]      KIND: software, data, default\n"
        "  torvane-cli verify KIND FILE [--expect-sha256 HEX] --port PORT ...\n"
        "        reads the device's image back and compares it with FILE; KIND: software, data,\n"
        "        default\n"
        "  torvane-cli STEP [--then STEP ...] --port PORT ...\n"
        "        a job: each STEP (COMMAND KIND FILE [--expect-sha256 HEX]) in order on each\n"
        "        device, the port kept open between them; a step that fails ends the job\n"
        "        any of them also [--trace] [--station NAME] [--publish URL\n"
        "        [--publish-password-file FILE] [--publish-ca FILE]\n"
        "        [--publish-cert FILE --publish-key FILE] [--outbox DIR]]\n"
        "  torvane-cli --recipe FILE [--lot NAME] [--trace] [--watch]\n"
        "  torvane-cli ports     lists what COM.01 ... COM.10 lead to, and ports without a number\n"
        "\n"
        "PORT is COM.01 ... COM.10, a device path such as /dev/ttyUSB0, or the name of a link\n"
        "in /dev/serial/by-id (a file in the working folder is ./NAME, with its folder).\n"
        "Each serial port takes the lowest free COM number the first time\n"
        "it is seen and keeps it (in ~/.config/torvane/ports.ini); /dev/ttyS<n> is COM n+1;\n"
        "$TORVANE_COMn, when set, names the device COM.n opens.\n"
        "\n"
        "Image sizes: software 1703936, data 262144, default 131072, loader 131072,\n"
        "all 1966080 bytes. A download file must have exactly its size.\n"
        "\n"
        "A production station: give --port once for each device, and the operation runs on\n"
        "all of them at once, each on its own thread; the download file is read once and\n"
        "locked against writers for the run. An upload's FILE then holds {port}, which stands\n"
        "for each port's name as a file name takes it (e.g. back-{port}.bin). On a terminal\n"
        "each port has a line redrawn in place; elsewhere each line starts with its port's\n"
        "name. A table of the results ends the run: exit 0 when every device succeeded, 130\n"
        "after Ctrl-C, else 10, with each device's own code in the table. --report FILE appends "
        "one line of JSON\n"
        "for each device's operation (times, host, port, device, image size and SHA-256,\n"
        "result, exit code; its id, the --station and seq, the station's own count of its\n"
        "records). --watch keeps running and serves each port matching a --port,\n"
        "which may then be a pattern ('/dev/serial/by-id/*', 'COM.*'), once each time it\n"
        "appears; Ctrl-C ends the watch with the totals. --publish URL sends each record to\n"
        "the plant's MQTT broker as well, through an outbox on disk that keeps it until the\n"
        "broker has taken it, and keeps the station's state there (online, offline, backlog).\n"
        "A record kept neither by the report nor by the outbox fails its device (exit 9).\n"
        "\n"
        "A job's every file is checked before any device starts; a refusal names its step.\n"
        "Each device's job has one record, with each step's command, kind, file, size,\n"
        "SHA-256, exit code, cause and seconds in \"steps\". A read-back that differs ends\n"
        "with exit 11, naming the first block and byte that differ.\n"
        "\n"
        "--retries N runs a device's job again from the step that failed, after a pause of a\n"
        "second, when it failed to connect, transfer, verify, erase or program or the device\n"
        "was lost, up to N more times; a refused file or port, a read-back that differs and\n"
        "Ctrl-C are never retried.\n"
        "Each attempt has its record; the last one is the device's result. --lot NAME counts\n"
        "each device (passed, failed, stopped) into the lot NAME, kept in\n"
        "$XDG_STATE_HOME/torvane (~/.local/state/torvane) across runs.\n"
        "\n"
        "A recipe (--recipe FILE) holds the arguments one to a line, '#' starting a comment:\n"
        "each step in order (download data /srv/img/data.bin) and the options (--port COM.01).\n"
        "Beside it only --lot, which replaces the recipe's, --trace, and --watch, which runs\n"
        "it as a watch whether it says so or not, may be given.\n"
        "\n"
        "Exit codes:\n");
    for (const ExitCodeInfo &info : ExitCodeTable)
        text +=
            QStringLiteral("  %1  %2\n").arg(int(info.code), 3).arg(QLatin1String(info.meaning));
    return text;
}

QString usageError(const QString &what) {
    return QStringLiteral("torvane-cli: %1\nTry 'torvane-cli --help' for more information.")
        .arg(what);
}

ParsedCommandLine fail(const QString &what) {
    ParsedCommandLine result;
    result.exitCode = int(ExitCode::Usage);
    result.message = usageError(what);
    return result;
}

} // namespace

bool ParsePort(const QString &text, CliOptions &options) {
    const std::optional<PortChoice> choice = ParsePortName(text);
    if (!choice)
        return false;
    options.portIndex = choice->portIndex;
    options.portPath = choice->portPath;
    options.portName = text;
    return true;
}

ParsedCommandLine ParseCommandLine(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // Not addHelpOption(): its --help-all lists the toolkit's options, which a program without
    // a window has none of.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Displays help on commandline options."));
    parser.addOption(helpOption);
    const QCommandLineOption versionOption = parser.addVersionOption();
    const StationOptions stationOptions;
    // In the order --help has always listed them, the newer ones after.
    parser.addOptions({stationOptions.port, stationOptions.overwrite, stationOptions.trace,
                       stationOptions.report, stationOptions.watch, stationOptions.expectSha256,
                       stationOptions.lot, stationOptions.retries, stationOptions.then,
                       stationOptions.recipe});
    parser.addOptions(stationOptions.publishing.all());
    parser.addOptions({stationOptions.onBoardEnd, stationOptions.onBatchEnd});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("download, upload, verify or ports"));
    parser.addPositionalArgument(QStringLiteral("KIND"), QStringLiteral("The image kind."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The image file."));

    if (!parser.parse(arguments))
        return fail(parser.errorText());
    ParsedCommandLine result;
    if (parser.isSet(helpOption)) {
        result.message = HelpNamingProgram(parser.helpText(), QStringLiteral("torvane-cli"));
        return result;
    }
    if (parser.isSet(versionOption)) {
        result.message = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                       QCoreApplication::applicationVersion());
        return result;
    }

    CliOptions &options = result.options;
    QStringList given = arguments;
    if (const QString error = ApplyRecipe(parser, stationOptions, &given, &options.recipe);
        !error.isEmpty())
        return fail(error);
    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0).toLower();
    if (command == QLatin1String("ports")) {
        if (positional.size() != 1)
            return fail(QStringLiteral("ports takes no arguments"));
        result.action = ParsedCommandLine::Action::ListPorts;
        return result;
    }
    if (!positional.isEmpty() && command != QLatin1String("download") &&
        command != QLatin1String("upload") && command != QLatin1String("verify"))
        return fail(QStringLiteral("unknown command '%1': download, upload, verify or ports")
                        .arg(positional[0]));
    if (positional.isEmpty())
        return fail(QStringLiteral("expected: download|upload|verify KIND FILE --port PORT"));
    if (const QString error =
            ReadStationArguments(parser, stationOptions, given, true, &options.plan);
        !error.isEmpty())
        return fail(options.recipe.isEmpty() ? error
                                             : QStringLiteral("%1: %2").arg(options.recipe, error));
    if (!ParsePort(options.plan.ports.constFirst(), options))
        options.portName = options.plan.ports.constFirst(); // a pattern
    result.action = ParsedCommandLine::Action::Run;
    return result;
}
