// The station window on a run, for the benchmark: takes the command line's station arguments,
// starts the run as F5 would, and at its end prints "served failed late99_ms late_max_ms": how
// late a 10 ms timer fired on the window's event loop meanwhile (99th percentile and worst).
// Exits 0 when every board succeeded.
#include "station_window/station_window.h"
#include "station_window/window_arguments.h"
#include "widgets/window_style.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    const WindowArguments parsed = ParseWindowArguments(QCoreApplication::arguments());
    if (parsed.action != WindowArguments::Action::Show || !parsed.filled) {
        std::fprintf(stderr,
                     "usage: torvane_bench_station_window download KIND FILE --port P...\n");
        return 2;
    }
    InstallWindowFonts();
    StationWindow window([] { return ComPortMap(); });
    window.fillIn(parsed.station);
    window.setQuiet(true);
    window.show();

    std::vector<double> lateness;
    QElapsedTimer clock;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(10);
    qint64 due = 0;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        lateness.push_back(double(std::max<qint64>(0, now - due)) / 1e6);
        due = now + 10'000'000;
    });
    int code = 1;
    QObject::connect(&window, &StationWindow::runEnded, [&] {
        timer.stop();
        std::sort(lateness.begin(), lateness.end());
        const double p99 =
            lateness.empty() ? 0
                             : lateness[std::min(lateness.size() - 1, lateness.size() * 99 / 100)];
        const double worst = lateness.empty() ? 0 : lateness.back();
        const QString totals = window.findChild<QLabel *>(QStringLiteral("Label_Totals"))->text();
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("(\\d+) boards: (\\d+) passed, (\\d+) failed"))
                .match(totals);
        std::printf("%s %s %.2f %.2f\n", qPrintable(m.captured(1)), qPrintable(m.captured(3)), p99,
                    worst);
        std::fflush(stdout);
        code = m.captured(3) == QLatin1String("0") ? 0 : 1;
        QCoreApplication::quit();
    });
    QTimer::singleShot(0, [&] {
        clock.start();
        due = 10'000'000;
        timer.start();
        window.startRun();
    });
    app.exec();
    return code;
}
