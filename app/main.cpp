#include "app/form_main.h"
#include "app/single_instance.h"
#include "link/standard_streams.h"
#include "ports/com_overrides.h"
#include "ports/system_ports.h"
#include "widgets/window_style.h"

#include <QApplication>
#include <QProcessEnvironment>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

constexpr char Help[] =
    "Usage: torvane [options]\n"
    "The window: moves memory images between this computer and a device on a serial port.\n"
    "\n"
    "Options:\n"
    "  -h, --help     Displays help on commandline options.\n"
    "  -v, --version  Displays version information.\n"
    "\n"
    "The toolkit's own options (-platform NAME, -display DISPLAY, -style NAME, ...) apply.\n"
    "A second start brings the running window to the front and ends.\n";

// Answers --help and --version before the toolkit starts: no display is needed, and the running
// window, if any, is left alone. Any other argument is the toolkit's.
bool answerQuery(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "-v")) {
            std::printf("torvane %s\n", TORVANE_VERSION);
            return true;
        }
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(Help, stdout);
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char **argv) {
    EnsureStandardStreams();
    if (answerQuery(argc, argv))
        return 0;
#ifdef SIGXFSZ
    // A file-size limit fails the upload's write, which the error box says, instead of killing
    // the window.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    if (const QString why = NoDisplayReason(); !why.isEmpty()) {
        std::fprintf(stderr, "torvane: %s\n", why.toLocal8Bit().constData());
        return 1;
    }
    QApplication app(argc, argv);
    // The application title doubles as the window class a later start looks for (on X11 the
    // class part of WM_CLASS). It is deliberately not the display name, which the toolkit would
    // append to the window's caption.
    QCoreApplication::setApplicationName(QLatin1String(SingleInstance::ClassName));

    SingleInstance instance(SingleInstance::DefaultName());
    if (instance.claimOrHandOver() == SingleInstance::Outcome::HandedOver)
        return 0;

    // The serial component is built into the program: nothing to install or register.

    TFormMain::InstallFontSubstitutes();
    TFormMain FormMain;
    FormMain.setComPorts(SystemComPorts(ComOverridesFrom(QProcessEnvironment::systemEnvironment()),
                                        UserPortsFile()));
    QObject::connect(&instance, &SingleInstance::showRequested, &FormMain,
                     &TFormMain::WMShowInstance);
    FormMain.endInOrder();
    FormMain.show();
    app.exec();
    return 0;
}
