#include "cli/cli_options.h"

#include "link/transfer_mode.h"
#include "ports/com_numbering.h"
#include "ports/port_names.h"
#include "station/exit_code.h"
#include "station/port_file_name.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

namespace {

struct Kind {
    const char *name;
    TransferMode download;
    TransferMode upload;
    bool uploadable;
};

constexpr Kind Kinds[] = {
    {"software", TransferMode::DownloadSoftware, TransferMode::UploadSoftware, true},
    {"data", TransferMode::DownloadData, TransferMode::UploadData, true},
    {"default", TransferMode::DownloadDefault, TransferMode::UploadDefault, true},
    {"loader", TransferMode::DownloadLoader, TransferMode::DownloadLoader, false},
    {"all", TransferMode::DownloadAll, TransferMode::DownloadAll, false},
};

QString description() {
    QString text = QStringLiteral(
        "Moves a memory image between this computer and a device on a serial port\n"
        "(115200 bit/s, 8E1), with the same checks, handshake and status texts as the window.\n"
        "\n"
        "  torvane-cli download KIND FILE --port PORT [--port PORT ...] [--report FILE] "
        "[--watch]\n"
        "        KIND: software, data, default, loader, all\n"
        "  torvane-cli upload KIND FILE --port PORT [--port PORT ...] [--overwrite] [--report "
        "FILE]\n"
        "        KIND: software, data, default\n"
        "  torvane-cli ports     lists what COM.01 ... COM.10 lead to, and ports without a number\n"
        "\n"
        "PORT is COM.01 ... COM.10, a device path such as /dev/ttyUSB0, or the name of a link\n"
        "in /dev/serial/by-id. Each serial port takes the lowest free COM number the first time\n"
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
        "name. A table of the results ends the run: exit 0 when every device succeeded, else\n"
        "10, with each device's own code in the table. --report FILE appends one line of JSON\n"
        "for each device's operation (times, host, port, device, image size and SHA-256,\n"
        "result, exit code). --watch keeps running and serves each port matching a --port,\n"
        "which may then be a pattern ('/dev/serial/by-id/*', 'COM.*'), once each time it\n"
        "appears; Ctrl-C ends the watch with the totals.\n"
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
    const QCommandLineOption portOption(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("The serial port: COM.01 ... COM.10, a device path or a /dev/serial/by-id "
                       "name. Give it once for each device; with --watch it may be a pattern."),
        QStringLiteral("PORT"));
    const QCommandLineOption overwriteOption(
        QStringLiteral("overwrite"), QStringLiteral("Upload: replace FILE when it exists."));
    const QCommandLineOption traceOption(
        QStringLiteral("trace"),
        QStringLiteral("Print every frame and block exchanged, with times, to stderr."));
    const QCommandLineOption reportOption(
        QStringLiteral("report"),
        QStringLiteral("Appends one line of JSON for each device's operation to FILE."),
        QStringLiteral("FILE"));
    const QCommandLineOption watchOption(
        QStringLiteral("watch"),
        QStringLiteral("Keeps running: each time a port matching a --port appears, the operation "
                       "runs on it once. Ctrl-C ends it."));
    parser.addOptions({portOption, overwriteOption, traceOption, reportOption, watchOption});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("download, upload or ports"));
    parser.addPositionalArgument(QStringLiteral("KIND"), QStringLiteral("The image kind."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The image file."));

    if (!parser.parse(arguments))
        return fail(parser.errorText());
    ParsedCommandLine result;
    if (parser.isSet(helpOption)) {
        // The toolkit's first line names the path the program was started by.
        result.message = parser.helpText();
        const qsizetype options = result.message.indexOf(QLatin1String(" [options]"));
        if (result.message.startsWith(QLatin1String("Usage: ")) && options > 0)
            result.message.replace(0, options, QStringLiteral("Usage: torvane-cli"));
        return result;
    }
    if (parser.isSet(versionOption)) {
        result.message = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                       QCoreApplication::applicationVersion());
        return result;
    }

    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0).toLower();
    if (!positional.isEmpty() && command != QLatin1String("download") &&
        command != QLatin1String("upload") && command != QLatin1String("ports"))
        return fail(
            QStringLiteral("unknown command '%1': download, upload or ports").arg(positional[0]));
    if (command == QLatin1String("ports")) {
        if (positional.size() != 1)
            return fail(QStringLiteral("ports takes no arguments"));
        result.action = ParsedCommandLine::Action::ListPorts;
        return result;
    }
    if (positional.size() > 3)
        // The shell gave out an unquoted pattern's matches: --port took the first.
        return fail(QStringLiteral("unexpected argument %1 after FILE: quote a pattern of "
                                   "ports ('board/tty*') or give --port before each port")
                        .arg(positional.value(3)));
    if (positional.size() != 3)
        return fail(QStringLiteral("expected: download|upload KIND FILE --port PORT"));
    const bool upload = command == QLatin1String("upload");

    CliOptions &options = result.options;
    const QString kind = positional[1].toLower();
    bool known = false;
    for (const Kind &k : Kinds) {
        if (kind == QLatin1String(k.name) && (!upload || k.uploadable)) {
            options.mode = upload ? k.upload : k.download;
            known = true;
        }
    }
    if (!known)
        return fail(upload ? QStringLiteral("unknown upload kind '%1': software, data or default")
                                 .arg(positional[1])
                           : QStringLiteral("unknown download kind '%1': software, data, "
                                            "default, loader or all")
                                 .arg(positional[1]));
    options.file = positional[2];

    if (!parser.isSet(portOption))
        return fail(QStringLiteral("--port PORT is required"));
    options.watch = parser.isSet(watchOption);
    options.ports = parser.values(portOption);
    bool patterns = false;
    for (const QString &port : options.ports) {
        CliOptions parsed;
        if (IsPortPattern(port)) {
            if (!options.watch)
                return fail(QStringLiteral("--port %1 is a pattern: add --watch to serve the "
                                           "ports that match it as they appear")
                                .arg(port));
            patterns = true;
            continue;
        }
        if (!ParsePort(port, parsed))
            return fail(QStringLiteral("unknown port '%1': COM.01 ... COM.10, a device path or a "
                                       "/dev/serial/by-id name")
                            .arg(port));
    }
    // One device, one owner: a port named twice would be opened by two operations at once.
    for (qsizetype i = 0; i < options.ports.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            CliOptions a;
            CliOptions b;
            const bool same = options.ports[i] == options.ports[j] ||
                              (ParsePort(options.ports[i], a) && ParsePort(options.ports[j], b) &&
                               a.portIndex == b.portIndex && a.portPath == b.portPath);
            if (same)
                return fail(QStringLiteral("--port %1 is given twice: one device, one owner")
                                .arg(options.ports[i]));
        }
    }
    if (!patterns)
        ParsePort(options.ports.constFirst(), options);
    else
        options.portName = options.ports.constFirst();
    if (upload && (options.ports.size() > 1 || patterns) &&
        !options.file.contains(QLatin1String(PortPlaceholder)))
        return fail(QStringLiteral("with several ports the upload file needs %1 in its name, "
                                   "e.g. back-%1.bin: each device's image goes to a file of "
                                   "its own")
                        .arg(QLatin1String(PortPlaceholder)));
    if (parser.isSet(reportOption)) {
        options.report = parser.value(reportOption);
        if (options.report.isEmpty())
            return fail(QStringLiteral("--report needs a file name"));
    }
    options.overwrite = parser.isSet(overwriteOption);
    if (options.overwrite && !upload)
        return fail(QStringLiteral("--overwrite applies to uploads only"));
    options.trace = parser.isSet(traceOption);
    result.action = ParsedCommandLine::Action::Run;
    return result;
}
