#include "app/form_main.h"
#include "app/single_instance.h"
#include "ports/com_overrides.h"
#include "link/standard_streams.h"
#include "ports/system_ports.h"

#include <QApplication>
#include <QProcessEnvironment>

int main(int argc, char **argv) {
    EnsureStandardStreams();
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
    FormMain.show();
    app.exec();
    return 0;
}
