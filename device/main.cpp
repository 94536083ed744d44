// torvane-device: the device's side of the wire protocol on a pseudo-terminal, for trying the
// tool, training and scripted tests without hardware.
#include "device/device_faults.h"
#include "device/device_machine.h"
#include "device/file_image_store.h"
#include "device/pty_line.h"
#include "device/serve_loop.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

constexpr int MaxTimeMs = 600000;
constexpr int MaxBaud = 10000000;

void printError(const QString &text) {
    std::fprintf(stderr, "torvane-device: %s\n", qPrintable(text));
}

QString description() {
    QString text = QStringLiteral(
        "Plays the device on a pseudo-terminal: answers the tool's connect requests, takes the "
        "five downloads block by block (verify, erase, program) and sends the three uploads. "
        "Prints the terminal's path on the first line of its output, then serves one operation "
        "after another until interrupted (SIGINT or SIGTERM). Point the tool at the path, e.g. "
        "TORVANE_COM1=<path>.\n\nFaults (--fault NAME[=ARG], several allowed):\n");
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

// A symbolic link to the slave under a name the operator chose. An older link is replaced; any
// other file of that name is left alone.
bool makeLink(const QString &link, const QString &target) {
    const QFileInfo info(link);
    if (info.exists() && !info.isSymLink()) {
        printError(
            QStringLiteral("%1 exists and is not a symbolic link; not replacing it").arg(link));
        return false;
    }
    const QByteArray path = QFile::encodeName(link);
    const QByteArray aside = path + ".new-" + QByteArray::number(qint64(::getpid()));
    ::unlink(aside.constData());
    if (::symlink(QFile::encodeName(target).constData(), aside.constData()) != 0 ||
        ::rename(aside.constData(), path.constData()) != 0) {
        printError(QStringLiteral("cannot link %1 to %2: %3")
                       .arg(link, target, QString::fromLocal8Bit(std::strerror(errno))));
        ::unlink(aside.constData());
        return false;
    }
    return true;
}

// Removes the link only while it still points to our terminal.
void removeLink(const QString &link, const QString &target) {
    if (QFileInfo(link).symLinkTarget() == QFileInfo(target).absoluteFilePath())
        ::unlink(QFile::encodeName(link).constData());
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvane-device"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption linkOption(
        QStringLiteral("link"),
        QStringLiteral("Also makes <path> a symbolic link to the terminal."),
        QStringLiteral("path"));
    const QCommandLineOption onceOption(QStringLiteral("once"),
                                        QStringLiteral("Serves one operation, then exits."));
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
                       "times."),
        QStringLiteral("name[=arg]"));
    parser.addOptions({linkOption, onceOption, storeOption, traceOption, paceOption, eraseOption,
                       programOption, faultOption});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("unexpected argument \"%1\"; see --help")
                       .arg(parser.positionalArguments().constFirst()));
        return 1;
    }

    DeviceSettings settings;
    int eraseMs = 300;
    int programMs = 500;
    if (!parseCount(parser, paceOption, 1, MaxBaud, &settings.paceBaud) ||
        !parseCount(parser, eraseOption, 0, MaxTimeMs, &eraseMs) ||
        !parseCount(parser, programOption, 0, MaxTimeMs, &programMs))
        return 1;
    settings.eraseTime = std::chrono::milliseconds(eraseMs);
    settings.programTime = std::chrono::milliseconds(programMs);
    for (const QString &fault : parser.values(faultOption)) {
        QString error;
        if (!AddFault(settings.faults, fault, &error)) {
            printError(error);
            return 1;
        }
    }

    std::unique_ptr<ImageStore> store;
    if (parser.isSet(storeOption)) {
        auto files = std::make_unique<FileImageStore>(
            parser.value(storeOption), [](const QString &warning) { printError(warning); });
        const QStringList problems = files->prepare();
        for (const QString &problem : problems)
            printError(problem);
        if (!problems.isEmpty())
            return 1;
        store = std::move(files);
    } else {
        store = std::make_unique<MemoryImageStore>();
    }

    DeviceMachine machine(settings, *store);
    machine.setWarningSink([](const QString &warning) { printError(warning); });
    const auto started = DeviceMachine::Clock::now();
    if (parser.isSet(traceOption)) {
        machine.setTraceSink([started](DeviceMachine::Time at, DeviceMachine::Direction direction,
                                       const QString &text) {
            static constexpr const char *arrows[] = {"<-", "->", "--"};
            const double seconds = std::chrono::duration<double>(at - started).count();
            std::fprintf(stderr, "%11.6f %s %s\n", seconds, arrows[int(direction)],
                         qPrintable(text));
        });
    }

    CatchStopSignals();
    PtyLine line;
    QString error;
    if (!line.open(&error)) {
        printError(error);
        return 1;
    }
    const QString link = parser.value(linkOption);
    if (!link.isEmpty() && !makeLink(link, line.slavePath()))
        return 1;
    std::printf("%s\n", qPrintable(line.slavePath()));
    std::fflush(stdout);

    const int result = Serve(line, machine, parser.isSet(onceOption), &error);
    if (result != 0)
        printError(error);
    if (!link.isEmpty())
        removeLink(link, line.slavePath());
    return result;
}
