// torvane-station: the production station in a window, for the people on a line.
#include "link/standard_streams.h"
#include "ports/com_overrides.h"
#include "ports/system_ports.h"
#include "station/exit_code.h"
#include "station/stop_signals.h"
#include "station_window/station_window.h"
#include "station_window/window_arguments.h"
#include "widgets/window_style.h"

#include <QApplication>
#include <QProcessEnvironment>
#include <QTimer>

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

} // namespace

int main(int argc, char *argv[]) {
    EnsureStandardStreams();
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
    if (!parsed.recipe.isEmpty())
        window.lockRecipe(parsed.recipe);
    window.setQuiet(parsed.quiet);
    window.show();
    // Ctrl-C, SIGTERM or a closed terminal: the window stops its boards in order and closes, as
    // its own close does after asking.
    CatchStopSignals();
    QTimer endWatch;
    QObject::connect(&endWatch, &QTimer::timeout, &window, [&window, &endWatch] {
        if (!StopSignalled())
            return;
        endWatch.stop();
        window.stopAndClose();
    });
    endWatch.start(100);
    const int code = app->exec();
    // Ended by Ctrl-C or SIGTERM: interrupted, as the command line says it.
    return StopSignalled() ? int(ExitCode::Interrupted) : code;
}
