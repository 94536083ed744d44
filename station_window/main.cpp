// torvane-station: the production station in a window, for the people on a line.
#include "link/standard_streams.h"
#include "ports/com_overrides.h"
#include "ports/system_ports.h"
#include "station/exit_code.h"
#include "station_window/station_window.h"
#include "station_window/window_arguments.h"
#include "widgets/window_style.h"

#include <QApplication>
#include <QProcessEnvironment>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// --help and --version are answered without a display: no window is made for them.
bool onlyAsks(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        for (const char *query : {"--help", "-h", "--version", "-v"}) {
            if (!std::strcmp(argv[i], query))
                return true;
        }
    }
    return false;
}

// Ctrl-C, SIGTERM or a closed terminal: the window stops its boards in order and closes, as
// its own close does after asking. A second one ends the program at once.
std::atomic<int> endRequested{0};

void requestEnd(int signal) {
    endRequested.store(signal);
}

void installEndHandlers() {
    struct sigaction action {};
    action.sa_handler = requestEnd;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before {};
        // Under nohup a hangup stays ignored, and so does a Ctrl-C a shell's background job
        // was started without.
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

} // namespace

int main(int argc, char *argv[]) {
    EnsureStandardStreams();
#ifdef SIGXFSZ
    // A file-size limit fails a board's save or record, which its row says, instead of killing
    // the window and every board with it.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef SIGPIPE
    // A report on a pipe whose reader went fails its records, which the rows say, instead of
    // killing the window and every board with it.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (!onlyAsks(argc, argv)) {
        if (const QString why = NoDisplayReason(); !why.isEmpty()) {
            std::fprintf(stderr, "torvane-station: %s\n", why.toLocal8Bit().constData());
            return 1;
        }
    }
    const std::unique_ptr<QCoreApplication> app(
        onlyAsks(argc, argv) ? new QCoreApplication(argc, argv) : new QApplication(argc, argv));
    QCoreApplication::setApplicationName(QStringLiteral("torvane-station"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));
    const WindowArguments parsed = ParseWindowArguments(QCoreApplication::arguments());
    if (parsed.action == WindowArguments::Action::Exit) {
        std::fputs(parsed.message.toLocal8Bit().constData(), parsed.exitCode ? stderr : stdout);
        if (!parsed.message.endsWith(QLatin1Char('\n')))
            std::fputc('\n', parsed.exitCode ? stderr : stdout);
        return parsed.exitCode;
    }
    InstallWindowFonts();
    // TORVANE_COMn is read here and nowhere else.
    StationWindow window(SystemComPorts(ComOverridesFrom(QProcessEnvironment::systemEnvironment()),
                                        UserPortsFile()));
    if (parsed.filled)
        window.fillIn(parsed.station);
    window.setQuiet(parsed.quiet);
    window.show();
    installEndHandlers();
    QTimer endWatch;
    QObject::connect(&endWatch, &QTimer::timeout, &window, [&window, &endWatch] {
        if (endRequested.load() == 0)
            return;
        endWatch.stop();
        window.stopAndClose();
    });
    endWatch.start(100);
    const int code = app->exec();
    // Ended by Ctrl-C or SIGTERM: interrupted, as the command line says it.
    return endRequested.load() != 0 ? int(ExitCode::Interrupted) : code;
}
