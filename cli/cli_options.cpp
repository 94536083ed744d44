#include "cli/cli_options.h"

#include "cli/exit_code.h"
#include "link/com_numbering.h"
#include "link/transfer_mode.h"

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
        "  torvane-cli download KIND FILE --port PORT     KIND: software, data, default, loader, "
        "all\n"
        "  torvane-cli upload KIND FILE --port PORT [--overwrite]   KIND: software, data, "
        "default\n"
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
    static const QRegularExpression com(QStringLiteral("^COM\\.(\\d\\d)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = com.match(text);
    if (match.hasMatch()) {
        const int number = match.captured(1).toInt();
        if (number < 1 || number > 10)
            return false;
        options.portIndex = number - 1;
        options.portPath.clear();
    } else if (text.contains(QLatin1Char('/'))) {
        // The device path replaces the mapping; the port list then stands on its first entry.
        options.portIndex = 0;
        options.portPath = text;
    } else if (!text.isEmpty() && !text.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
        // The adapter's own name, whatever ttyUSB it was given today.
        options.portIndex = 0;
        options.portPath = QLatin1String(SerialByIdFolder) + text;
    } else {
        return false;
    }
    options.portName = text;
    return true;
}

ParsedCommandLine ParseCommandLine(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption portOption(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("The serial port: COM.01 ... COM.10, a device path or a /dev/serial/by-id "
                       "name."),
        QStringLiteral("PORT"));
    const QCommandLineOption overwriteOption(
        QStringLiteral("overwrite"), QStringLiteral("Upload: replace FILE when it exists."));
    const QCommandLineOption traceOption(
        QStringLiteral("trace"),
        QStringLiteral("Print every frame and block exchanged, with times, to stderr."));
    parser.addOptions({portOption, overwriteOption, traceOption});
    parser.addPositionalArgument(QStringLiteral("direction"), QStringLiteral("download or upload"));
    parser.addPositionalArgument(QStringLiteral("KIND"), QStringLiteral("The image kind."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The image file."));

    if (!parser.parse(arguments))
        return fail(parser.errorText());
    ParsedCommandLine result;
    if (parser.isSet(helpOption)) {
        result.message = parser.helpText();
        return result;
    }
    if (parser.isSet(versionOption)) {
        result.message = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                       QCoreApplication::applicationVersion());
        return result;
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.value(0).toLower() == QLatin1String("ports")) {
        if (positional.size() != 1)
            return fail(QStringLiteral("ports takes no arguments"));
        result.action = ParsedCommandLine::Action::ListPorts;
        return result;
    }
    if (positional.size() != 3)
        return fail(QStringLiteral("expected: download|upload KIND FILE --port PORT"));
    const QString direction = positional[0].toLower();
    if (direction != QLatin1String("download") && direction != QLatin1String("upload"))
        return fail(
            QStringLiteral("unknown direction '%1': download or upload").arg(positional[0]));
    const bool upload = direction == QLatin1String("upload");

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
    if (!ParsePort(parser.value(portOption), options))
        return fail(QStringLiteral("unknown port '%1': COM.01 ... COM.10, a device path or a "
                                   "/dev/serial/by-id name")
                        .arg(parser.value(portOption)));
    options.overwrite = parser.isSet(overwriteOption);
    if (options.overwrite && !upload)
        return fail(QStringLiteral("--overwrite applies to uploads only"));
    options.trace = parser.isSet(traceOption);
    result.action = ParsedCommandLine::Action::Run;
    return result;
}
