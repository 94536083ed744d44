#include "station/station_arguments.h"

#include "ports/port_names.h"
#include "station/port_file_name.h"

#include <QCommandLineParser>

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

bool samePort(const QString &a, const QString &b) {
    if (a == b)
        return true;
    const std::optional<PortChoice> x = ParsePortName(a);
    const std::optional<PortChoice> y = ParsePortName(b);
    return x && y && x->portIndex == y->portIndex && x->portPath == y->portPath;
}

} // namespace

StationOptions::StationOptions()
    : port({QStringLiteral("p"), QStringLiteral("port")},
           QStringLiteral("The serial port: COM.01 ... COM.10, a device path or a "
                          "/dev/serial/by-id name. Give it once for each device; with --watch "
                          "it may be a pattern."),
           QStringLiteral("PORT")),
      overwrite(QStringLiteral("overwrite"),
                QStringLiteral("Upload: replace FILE when it exists.")),
      report(QStringLiteral("report"),
             QStringLiteral("Appends one line of JSON for each device's operation to FILE."),
             QStringLiteral("FILE")),
      watch(QStringLiteral("watch"),
            QStringLiteral("Keeps running: each time a port matching a --port appears, the "
                           "operation runs on it once. Ctrl-C ends it.")) {}

QString ReadStationArguments(const QCommandLineParser &parser, const StationOptions &options,
                             const QStringList &operation, bool portRequired, StationPlan *into) {
    StationPlan &arguments = *into;
    bool patterns = false;
    const QString direction = operation.value(0).toLower();
    if (direction != QLatin1String("download") && direction != QLatin1String("upload"))
        return QStringLiteral("unknown direction '%1': download or upload").arg(operation.value(0));
    const bool upload = direction == QLatin1String("upload");

    const QString kind = operation.value(1).toLower();
    bool known = false;
    for (const Kind &k : Kinds) {
        if (kind == QLatin1String(k.name) && (!upload || k.uploadable)) {
            arguments.mode = upload ? k.upload : k.download;
            known = true;
        }
    }
    if (!known)
        return upload ? QStringLiteral("unknown upload kind '%1': software, data or default")
                            .arg(operation.value(1))
                      : QStringLiteral("unknown download kind '%1': software, data, "
                                       "default, loader or all")
                            .arg(operation.value(1));
    arguments.file = operation.value(2);

    if (portRequired && !parser.isSet(options.port))
        return QStringLiteral("--port PORT is required");
    arguments.watch = parser.isSet(options.watch);
    arguments.ports = parser.values(options.port);
    for (const QString &port : arguments.ports) {
        if (const QString problem = PortNameProblem(port); !problem.isEmpty())
            return QStringLiteral("--port %1").arg(problem);
        if (IsPortPattern(port)) {
            if (!arguments.watch)
                return QStringLiteral("--port %1 is a pattern: add --watch to serve the "
                                      "ports that match it as they appear")
                    .arg(port);
            patterns = true;
            continue;
        }
        if (!ParsePortName(port))
            return QStringLiteral("unknown port '%1': COM.01 ... COM.10, a device path or a "
                                  "/dev/serial/by-id name")
                .arg(port);
    }
    // One device, one owner: a port named twice would be opened by two operations at once.
    for (qsizetype i = 0; i < arguments.ports.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            if (samePort(arguments.ports[i], arguments.ports[j]))
                return QStringLiteral("--port %1 is given twice: one device, one owner")
                    .arg(arguments.ports[i]);
        }
    }
    if (upload && (arguments.ports.size() > 1 || patterns) &&
        !arguments.file.contains(QLatin1String(PortPlaceholder)))
        return QStringLiteral("with several ports the upload file needs %1 in its name, "
                              "e.g. back-%1.bin: each device's image goes to a file of "
                              "its own")
            .arg(QLatin1String(PortPlaceholder));
    if (parser.isSet(options.report)) {
        arguments.report = parser.value(options.report);
        if (arguments.report.isEmpty())
            return QStringLiteral("--report needs a file name");
    }
    arguments.overwrite = parser.isSet(options.overwrite);
    if (arguments.overwrite && !upload)
        return QStringLiteral("--overwrite applies to uploads only");
    return QString();
}

QString HelpNamingProgram(const QString &help, const QString &program) {
    QString text = help;
    const qsizetype options = text.indexOf(QLatin1String(" [options]"));
    if (text.startsWith(QLatin1String("Usage: ")) && options > 0)
        text.replace(0, options, QStringLiteral("Usage: ") + program);
    return text;
}
