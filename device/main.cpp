// torvane-device: the device's side of the wire protocol on a pseudo-terminal, for trying the
// tool, training and scripted tests without hardware.
#include "device/device_faults.h"
#include "device/device_machine.h"
#include "device/file_image_store.h"
#include "device/serve_loop.h"
#include "device/station_control.h"
#include "device/station_device.h"
#include "link/standard_streams.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int MaxTimeMs = 600000;
constexpr int MaxBaud = 10000000;
constexpr int MaxDevices = 256;

void printError(const QString &text) {
    std::fprintf(stderr, "torvane-device: %s\n", qPrintable(text));
}

QString description() {
    QString text = QStringLiteral(
        "Plays the device on a pseudo-terminal: answers the tool's connect requests, takes the "
        "five downloads block by block (verify, erase, program) and sends the three uploads. "
        "Prints the terminal's path on the first line of its output, then serves one operation "
        "after another until interrupted (SIGINT or SIGTERM). Point the tool at the path, e.g. "
        "TORVANE_COM1=<path>.\n\n"
        "A production station: --count N plays N devices, each on its own terminal with its own "
        "state, images and pacing, and prints the N paths one a line, in order. With --link-dir "
        "DIR device K is also DIR/ttyK, and DIR/control is a named pipe that takes \"unplug K\" "
        "(the device hangs up its line and its link goes), \"plug K\" (it comes back on a new "
        "terminal under the same link), \"fault K NAME[=ARG]\" (device K takes that fault too) "
        "and \"fault K none\" (it has none), one command a line. A fault given so takes hold "
        "from the device's next operation: at once between operations, else once its operation "
        "has ended or its tool has closed the port.\n\n"
        "Faults (--fault [K:]NAME[=ARG], several allowed; K: for device K only, else every "
        "device):\n");
    for (const FaultDoc &fault : FaultDocs)
        text += QStringLiteral("  %1%2\n")
                    .arg(QLatin1String(fault.usage), -17)
                    .arg(QLatin1String(fault.effect));
    return text;
}

bool parseCount(const QCommandLineParser &parser, const QCommandLineOption &option, int min,
                int max, int *out) {
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < min || value > max) {
        printError(QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                       .arg(option.names().constFirst())
                       .arg(min)
                       .arg(max)
                       .arg(parser.value(option)));
        return false;
    }
    *out = value;
    return true;
}

// Adds "--fault [K:]NAME[=ARG]" to device K, or to every device.
bool addFault(std::vector<DeviceSettings> &settings, const QString &faultText) {
    const QRegularExpression perDevice(QStringLiteral("^\\s*(\\d+)\\s*:(.*)$"));
    const QRegularExpressionMatch match = perDevice.match(faultText);
    std::size_t first = 0;
    std::size_t last = settings.size();
    QString fault = faultText;
    if (match.hasMatch()) {
        bool ok = false;
        const int device = match.captured(1).toInt(&ok);
        if (!ok || device < 0 || std::size_t(device) >= settings.size()) {
            printError(QStringLiteral("--fault %1: there is no device %2 (devices 0 to %3)")
                           .arg(faultText, match.captured(1))
                           .arg(settings.size() - 1));
            return false;
        }
        first = std::size_t(device);
        last = first + 1;
        fault = match.captured(2);
    }
    for (std::size_t k = first; k < last; ++k) {
        QString error;
        if (!AddFault(settings[k].faults, fault, &error)) {
            printError(error);
            return false;
        }
    }
    return true;
}

// The program's options, as the parser knows them.
struct Options {
    QCommandLineOption help;
    QCommandLineOption version;
    QCommandLineOption link;
    QCommandLineOption once;
    QCommandLineOption store;
    QCommandLineOption trace;
    QCommandLineOption pace;
    QCommandLineOption erase;
    QCommandLineOption program;
    QCommandLineOption fault;
    QCommandLineOption count;
    QCommandLineOption linkDir;
};

Options addOptions(QCommandLineParser &parser) {
    // Not addHelpOption(): its --help-all lists the toolkit's options, which a program without
    // a window has none of.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Displays help on commandline options."));
    parser.addOption(helpOption);
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption linkOption(
        QStringLiteral("link"),
        QStringLiteral("Also makes <path> a symbolic link to the terminal."),
        QStringLiteral("path"));
    const QCommandLineOption onceOption(
        QStringLiteral("once"),
        QStringLiteral("Serves one operation, then exits; with --count each "
                       "device serves one, and the program exits "
                       "when all have."));
    const QCommandLineOption storeOption(
        QStringLiteral("store"),
        QStringLiteral("Keeps the images as files <dir>/<kind>.bin (software, data, default, "
                       "loader, all), so an upload returns what an earlier download stored, "
                       "across runs. Without it images last as long as the device runs; an "
                       "upload of a kind never stored sends a fixed pattern."),
        QStringLiteral("dir"));
    const QCommandLineOption traceOption(
        QStringLiteral("trace"),
        QStringLiteral("Writes every frame and block it sees and sends, with time stamps, to "
                       "standard error."));
    const QCommandLineOption paceOption(
        QStringLiteral("pace"),
        QStringLiteral("Paces the wire as a real 8E1 line at <baud> bit/s (11 bits a byte), e.g. "
                       "115200. Without it the device answers as fast as the terminal goes."),
        QStringLiteral("baud"));
    const QCommandLineOption eraseOption(
        QStringLiteral("erase-time"),
        QStringLiteral("Time from RCVS to REFS in a download (default 300)."), QStringLiteral("ms"),
        QStringLiteral("300"));
    const QCommandLineOption programOption(
        QStringLiteral("program-time"),
        QStringLiteral("Time from REFS to RWFS in a download (default 500)."), QStringLiteral("ms"),
        QStringLiteral("500"));
    const QCommandLineOption faultOption(
        QStringLiteral("fault"),
        QStringLiteral("Misbehaves as <name> says (see the list above); may be given several "
                       "times. K: limits it to device K."),
        QStringLiteral("[K:]name[=arg]"));
    const QCommandLineOption countOption(
        QStringLiteral("count"),
        QStringLiteral("Plays <n> devices at once (1 to 256), each on its own terminal; with "
                       "--store DIR device K keeps its images in DIR/K."),
        QStringLiteral("n"));
    const QCommandLineOption linkDirOption(
        QStringLiteral("link-dir"),
        QStringLiteral("Makes <dir>/ttyK a symbolic link to device K's terminal (removed on "
                       "exit), and <dir>/control the pipe that unplugs and plugs devices and gives "
                       "them faults."),
        QStringLiteral("dir"));
    parser.addOptions({linkOption, onceOption, storeOption, traceOption, paceOption, eraseOption,
                       programOption, faultOption, countOption, linkDirOption});
    return {helpOption, versionOption, linkOption,    onceOption,  storeOption, traceOption,
            paceOption, eraseOption,   programOption, faultOption, countOption, linkDirOption};
}

// --help, with the name the program goes by rather than the path it was started by.
void printHelp(const QCommandLineParser &parser) {
    QString help = parser.helpText();
    const qsizetype options = help.indexOf(QLatin1String(" [options]"));
    if (help.startsWith(QLatin1String("Usage: ")) && options > 0)
        help.replace(0, options, QStringLiteral("Usage: torvane-device"));
    std::fputs(qPrintable(help), stdout);
}

// Each device's settings: the pace and times of every device, with the faults given to it.
// Empty after an error, which is said.
std::vector<DeviceSettings> deviceSettings(const QCommandLineParser &parser,
                                           const Options &options) {
    DeviceSettings base;
    int eraseMs = 300;
    int programMs = 500;
    int count = 1;
    if (!parseCount(parser, options.pace, 1, MaxBaud, &base.paceBaud) ||
        !parseCount(parser, options.erase, 0, MaxTimeMs, &eraseMs) ||
        !parseCount(parser, options.program, 0, MaxTimeMs, &programMs) ||
        !parseCount(parser, options.count, 1, MaxDevices, &count))
        return {};
    base.eraseTime = std::chrono::milliseconds(eraseMs);
    base.programTime = std::chrono::milliseconds(programMs);
    std::vector<DeviceSettings> settings(std::size_t(count), base);
    for (const QString &fault : parser.values(options.fault))
        if (!addFault(settings, fault))
            return {};
    return settings;
}

// Device k's images: files in its folder with --store, else memory. None after a problem with
// the folder, which is said.
std::unique_ptr<ImageStore> storeOf(const QCommandLineParser &parser, const Options &options,
                                    bool station, int k,
                                    const std::function<void(const QString &)> &say) {
    if (!parser.isSet(options.store))
        return std::make_unique<MemoryImageStore>();
    const QString dir = station ? QDir(parser.value(options.store)).filePath(QString::number(k))
                                : parser.value(options.store);
    auto files = std::make_unique<FileImageStore>(dir, say);
    const QStringList problems = files->prepare();
    for (const QString &problem : problems)
        say(problem);
    if (!problems.isEmpty())
        return nullptr;
    return files;
}

// --trace: device k's frames on standard error, timed from the program's start, in a column of
// their own when there are several devices.
DeviceMachine::TraceSink traceOf(DeviceMachine::Time started, bool station, int k) {
    const QByteArray column = station ? QStringLiteral("[%1] ").arg(k).toLatin1() : "";
    return [started, column](DeviceMachine::Time at, DeviceMachine::Direction direction,
                             const QString &text) {
        static constexpr const char *arrows[] = {"<-", "->", "--"};
        const double seconds = std::chrono::duration<double>(at - started).count();
        std::fprintf(stderr, "%11.6f %s%s %s\n", seconds, column.constData(),
                     arrows[int(direction)], qPrintable(text));
    };
}

// Plugs every device in and says their terminals, one a line, in order. False after an error,
// which is said.
bool plugIn(std::vector<std::unique_ptr<StationDevice>> &devices) {
    for (auto &device : devices) {
        QString error;
        if (!device->plugIn(&error)) {
            printError(error);
            return false;
        }
    }
    for (const auto &device : devices)
        std::printf("%s\n", qPrintable(device->slavePath()));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    EnsureStandardStreams();
    // A file-size limit fails the write of a stored image, which is said, instead of killing
    // every device the process plays.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvane-device"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    const Options options = addOptions(parser);
    if (!parser.parse(QCoreApplication::arguments())) {
        printError(parser.errorText());
        return 1;
    }
    if (parser.isSet(options.help)) {
        printHelp(parser);
        return 0;
    }
    if (parser.isSet(options.version)) {
        std::printf("torvane-device %s\n", TORVANE_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("unexpected argument \"%1\"; see --help")
                       .arg(parser.positionalArguments().constFirst()));
        return 1;
    }
    const std::vector<DeviceSettings> settings = deviceSettings(parser, options);
    if (settings.empty())
        return 1;
    const int count = int(settings.size());

    const bool station = parser.isSet(options.count);
    const QString link = parser.value(options.link);
    const QString linkDir = parser.value(options.linkDir);
    if (!link.isEmpty() && (count > 1 || !linkDir.isEmpty())) {
        printError(QStringLiteral("--link names one terminal; with --count or --link-dir the "
                                  "links are <dir>/ttyK"));
        return 1;
    }
    if (!linkDir.isEmpty() && !QDir().mkpath(linkDir)) {
        printError(QStringLiteral("cannot create the link directory %1").arg(linkDir));
        return 1;
    }

    const auto started = DeviceMachine::Clock::now();
    std::vector<std::unique_ptr<StationDevice>> devices;
    for (int k = 0; k < count; ++k) {
        const QString prefix = station ? QStringLiteral("device %1: ").arg(k) : QString();
        const auto say = [prefix](const QString &text) { printError(prefix + text); };
        std::unique_ptr<ImageStore> store = storeOf(parser, options, station, k, say);
        if (!store)
            return 1;
        const DeviceMachine::TraceSink trace =
            parser.isSet(options.trace) ? traceOf(started, station, k) : nullptr;
        const QString deviceLink =
            !linkDir.isEmpty() ? QDir(linkDir).filePath(QStringLiteral("tty%1").arg(k)) : link;
        devices.push_back(std::make_unique<StationDevice>(
            settings[std::size_t(k)], std::move(store), deviceLink, say, trace));
    }

    CatchStopSignals();
    std::unique_ptr<StationControl> control;
    if (!linkDir.isEmpty()) {
        control = std::make_unique<StationControl>(
            QDir(linkDir).filePath(QStringLiteral("control")), count, printError);
        QString error;
        if (!control->open(&error)) {
            printError(error);
            return 1;
        }
    }
    if (!plugIn(devices))
        return 1;
    return Serve(devices, control.get(), parser.isSet(options.once), printError);
}
