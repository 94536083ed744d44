// Publishing's figures, as rows of bench/run.sh's table: a station of 32 emulated boards whose
// records go to a real broker (TLS, password) against the same station not publishing, and
// 10,000 records waiting in an outbox delivered once the broker is back, and what a publisher
// costs while its broker takes the connection and never answers, in CPU and in a run's time.
#include "bench/build_folder.h"
#include "bench/child_run.h"
#include "bench/cpu_time.h"
#include "bench/emulated_devices.h"
#include "bench/random_image.h"
#include "bench/table.h"
#include "harness/broker.h"
#include "harness/loopback.h"
#include "ops/status_text.h"
#include "plant/publisher.h"
#include "plant/record_stamp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int Boards = 32;
constexpr int Baud = 921600;
constexpr int Tries = 3;
constexpr int Backlog = 10000;
constexpr int FillThreads = 8;

void row(const QString &figure, const QString &measured, const QString &goal) {
    PrintRow({figure, measured, goal});
}

// The station on every board once; its wall time, or nothing when a board failed.
std::optional<double> station(const QString &cli, const QStringList &ports, const QString &data,
                              const QStringList &extra, const QString &errorFile) {
    QStringList arguments{QStringLiteral("download"), QStringLiteral("data"), data};
    for (const QString &port : ports)
        arguments << QStringLiteral("--port") << port;
    ChildRun run;
    if (!run.start(cli, arguments + extra, false, errorFile))
        return std::nullopt;
    const ChildRun::Result result = run.wait();
    if (result.exitCode != 0) {
        Say(QStringLiteral("the station exited %1; see %2").arg(result.exitCode).arg(errorFile));
        return std::nullopt;
    }
    return result.wallSeconds;
}

// The best wall times, not publishing and with `publish`, of `Tries` runs of each in turn,
// after one unmeasured run (the emulator's own start): a burst of other work is not the tool's.
// Nothing when a run failed.
std::optional<std::pair<double, double>> bestOfEach(const QString &cli, const QStringList &ports,
                                                    const QString &data, const QStringList &publish,
                                                    const QString &errors) {
    station(cli, ports, data, {}, errors);
    double plain = 1e9;
    double published = 1e9;
    for (int k = 0; k < Tries; ++k) {
        const auto a = station(cli, ports, data, {}, errors);
        const auto b = station(cli, ports, data, publish, errors);
        if (!a || !b)
            return std::nullopt;
        plain = std::min(plain, *a);
        published = std::min(published, *b);
    }
    return std::pair{plain, published};
}

// The data image every board is sent; empty when it cannot be written.
QString writeImage(const QString &folder) {
    const QString data = folder + QStringLiteral("/data.bin");
    return WriteRandomImage(data, 262144, 20261208) ? data : QString();
}

QString stationRow(const QString &bin, const QString &folder, TestBroker &broker) {
    const EmulatedDevices devices(bin + QStringLiteral("/device/torvane-device"), Boards,
                                  {QStringLiteral("--pace"), QString::number(Baud),
                                   QStringLiteral("--erase-time"), QStringLiteral("0"),
                                   QStringLiteral("--program-time"), QStringLiteral("0")});
    const QStringList ports = devices.paths();
    if (ports.isEmpty())
        return QStringLiteral("failed: the emulator gave no ports");
    const QString data = writeImage(folder);
    if (data.isEmpty())
        return QStringLiteral("failed: cannot write the image");
    const QString outbox = folder + QStringLiteral("/outbox");
    const QStringList publish{QStringLiteral("--publish"),
                              broker.url(true),
                              QStringLiteral("--publish-ca"),
                              broker.caFile(),
                              QStringLiteral("--publish-password-file"),
                              broker.passwordFile(QString::fromLatin1(TestBroker::Password)),
                              QStringLiteral("--outbox"),
                              outbox};
    const QString cli = bin + QStringLiteral("/cli/torvane-cli");
    const QString errors = folder + QStringLiteral("/station.err");
    const auto best = bestOfEach(cli, ports, data, publish, errors);
    if (!best)
        return QStringLiteral("failed");
    const auto [plain, published] = *best;
    const qsizetype left = QDir(outbox).entryList({QStringLiteral("*.json")}, QDir::Files).size();
    return QStringLiteral("%1 s against %2 s: ratio %3 (best of %4 each; %5 records left in the "
                          "outbox)")
        .arg(Number(published, 2), Number(plain, 2), Number(published / plain, 3),
             QString::number(Tries), QString::number(left));
}

// A record as a station writes one.
QJsonObject sampleRecord(int k) {
    QJsonObject record{
        {QStringLiteral("start"), QStringLiteral("2026-12-08T01:47:32.742Z")},
        {QStringLiteral("end"), QStringLiteral("2026-12-08T01:47:46.865Z")},
        {QStringLiteral("host"), QStringLiteral("line1-pc4")},
        {QStringLiteral("port"), QStringLiteral("/dev/serial/by-id/usb-FTDI_board_%1").arg(k)},
        {QStringLiteral("device"), QStringLiteral("/dev/ttyUSB%1").arg(k % 32)},
        {QStringLiteral("byId"), QStringLiteral("usb-FTDI_board_%1").arg(k)},
        {QStringLiteral("operation"), QStringLiteral("download")},
        {QStringLiteral("kind"), QStringLiteral("data")},
        {QStringLiteral("imageSize"), 262144},
        {QStringLiteral("sha256"),
         QStringLiteral("0b66cb75614e015bd7ad8cfe2f1001ce8b95e7d54cf76afc39e6c52592569bb6")},
        {QStringLiteral("result"), StatusText(StatusCode::UpdateSuccess)},
        {QStringLiteral("exitCode"), 0},
        {QStringLiteral("seconds"), 14.123},
        {QStringLiteral("blocksPerSecond"), 78.2},
    };
    RecordStamp stamp = NewStamp(QStringLiteral("bench"));
    stamp.seq = k;
    AddStamp(&record, stamp);
    return record;
}

void backlogRows(const QString &folder, TestBroker &broker) {
    PublishSettings settings;
    ParseBrokerAddress(broker.url(true), &settings.broker);
    settings.password = QString::fromLatin1(TestBroker::Password);
    settings.caFile = broker.caFile();
    settings.station = QStringLiteral("bench");
    settings.outbox = folder + QStringLiteral("/backlog");
    broker.stop();
    Publisher publisher(settings);
    QString why;
    if (!publisher.start(&why)) {
        row(QStringLiteral("10,000 waiting records delivered after the broker returns"),
            QStringLiteral("failed: ") + why, QStringLiteral("-"));
        return;
    }
    // The boards' threads, each putting its records in at once.
    const auto filling = ChildRun::Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < FillThreads; ++t)
        threads.emplace_back([&publisher, t] {
            QString why;
            for (int k = t; k < Backlog; k += FillThreads)
                publisher.add(sampleRecord(k), &why);
        });
    for (std::thread &thread : threads)
        thread.join();
    const double fill = std::chrono::duration<double>(ChildRun::Clock::now() - filling).count();
    row(QStringLiteral("Records put into the outbox, each synced, from %1 threads at once")
            .arg(FillThreads),
        QStringLiteral("%1 records in %2 s: %3 records/s")
            .arg(QString::number(publisher.state().waiting), Number(fill, 2),
                 Number(Backlog / fill, 0)),
        QStringLiteral("-"));

    const QString restarted = broker.start();
    const auto back = ChildRun::Clock::now();
    std::optional<ChildRun::Clock::time_point> first;
    PublishState state = publisher.state();
    while (restarted.isEmpty() && state.waiting > 0 && ChildRun::Clock::now() - back < 10min) {
        std::this_thread::sleep_for(5ms);
        state = publisher.state();
        if (!first && state.delivered > 0)
            first = ChildRun::Clock::now();
    }
    const auto done = ChildRun::Clock::now();
    const auto seconds = [](auto from, auto to) {
        return std::chrono::duration<double>(to - from).count();
    };
    row(QStringLiteral("10,000 waiting records (mqtts, password) delivered after the broker "
                       "returns"),
        state.waiting == 0 && first
            ? QStringLiteral("%1 s after its return, %2 s of it until the next try; then %3 "
                             "records in %4 s: %5 records/s")
                  .arg(Number(seconds(back, done), 2), Number(seconds(back, *first), 2),
                       QString::number(state.delivered), Number(seconds(*first, done), 2),
                       Number(double(state.delivered) / seconds(*first, done), 0))
            : QStringLiteral("failed: %1 still waiting %2").arg(state.waiting).arg(restarted),
        QStringLiteral("-"));
}

// The publisher waits for a hung broker as it waits for any broker; the figure is the CPU it
// takes meanwhile, which a line PC's boards need.
void silentBrokerRow(const QString &folder) {
    const QString figure = QStringLiteral(
        "CPU of the publisher while its broker takes the connection and never answers");
    const SilentListener listener;
    if (listener.port() == 0) {
        row(figure, QStringLiteral("failed: no listener"), QStringLiteral("-"));
        return;
    }
    PublishSettings settings;
    ParseBrokerAddress(QStringLiteral("mqtt://127.0.0.1:%1/bench").arg(listener.port()),
                       &settings.broker);
    settings.station = QStringLiteral("bench");
    settings.outbox = folder + QStringLiteral("/silent");
    Publisher publisher(settings);
    QString why;
    if (!publisher.start(&why) || !publisher.add(sampleRecord(0), &why)) {
        row(figure, QStringLiteral("failed: ") + why, QStringLiteral("-"));
        return;
    }
    constexpr auto Watched = 10s;
    const double before = CpuSeconds();
    std::this_thread::sleep_for(Watched);
    const double used = CpuSeconds() - before;
    row(figure,
        QStringLiteral("%1 s of CPU in %2 s (%3 % of a core)")
            .arg(Number(used, 3), QString::number(Watched.count()),
                 Number(100 * used / double(Watched.count()), 2)),
        QStringLiteral("-"));
    publisher.finish(0ms);
}

// What a hung broker costs a run of one board: the run publishing to it against the same run
// not publishing, the best of each. The records wait in the outbox for the next run.
void silentRunRow(const QString &bin, const QString &folder) {
    const QString figure = QStringLiteral("A run of one board publishing to a broker that takes "
                                          "the connection and never answers: seconds beyond the "
                                          "same run not publishing");
    const auto fail = [&](const QString &why) { row(figure, why, QStringLiteral("<= 2")); };
    const SilentListener listener;
    const QString data = writeImage(folder);
    if (listener.port() == 0 || data.isEmpty())
        return fail(QStringLiteral("failed: no listener or image"));
    const EmulatedDevices device(bin + QStringLiteral("/device/torvane-device"),
                                 {QStringLiteral("--erase-time"), QStringLiteral("0"),
                                  QStringLiteral("--program-time"), QStringLiteral("0")});
    if (device.paths().isEmpty())
        return fail(QStringLiteral("failed: the emulator gave no port"));
    const QStringList ports = device.paths();
    const QStringList publish{
        QStringLiteral("--publish"),
        QStringLiteral("mqtt://127.0.0.1:%1/plant/line1/records").arg(listener.port()),
        QStringLiteral("--outbox"), folder + QStringLiteral("/silent-run")};
    const QString cli = bin + QStringLiteral("/cli/torvane-cli");
    const QString errors = folder + QStringLiteral("/silent-run.err");
    const auto best = bestOfEach(cli, ports, data, publish, errors);
    if (!best)
        return fail(QStringLiteral("failed"));
    const auto [plain, silent] = *best;
    row(figure,
        QStringLiteral("%1 s (%2 s against %3 s, best of %4 each)")
            .arg(Number(silent - plain, 2), Number(silent, 2), Number(plain, 2),
                 QString::number(Tries)),
        QStringLiteral("<= 2"));
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QString bin = BuildFolder(argc, argv);
    QTemporaryDir work;
    // The stations' counts and the outbox's key are the benchmark's, never the user's.
    qputenv("XDG_STATE_HOME", QFile::encodeName(work.filePath(QStringLiteral("state"))));
    TestBroker broker;
    if (const QString why = broker.start(); !why.isEmpty()) {
        Say(QStringLiteral("no broker: %1").arg(why));
        return 1;
    }
    Say(QStringLiteral("the station publishing: %1 devices at %2 bit/s").arg(Boards).arg(Baud));
    row(QStringLiteral("Station, %1 devices at %2 bit/s (Download Data), publishing each record "
                       "(mqtts, password) against not publishing")
            .arg(Boards)
            .arg(Baud),
        stationRow(bin, work.path(), broker), QStringLiteral("<= 1.02"));
    Say(QStringLiteral("%1 records waiting for the broker").arg(Backlog));
    backlogRows(work.path(), broker);
    Say(QStringLiteral("a broker that never answers"));
    silentBrokerRow(work.path());
    silentRunRow(bin, work.path());
    return 0;
}
