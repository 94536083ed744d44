// torvane's benchmarks: runs the real programs against the real device emulator on
// pseudo-terminals and prints one table of figures against their goals. Never fails on a figure.
#include "bench/build_folder.h"
#include "bench/child_run.h"
#include "bench/emulated_devices.h"
#include "bench/random_image.h"
#include "bench/table.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QSysInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int AllBlocks = 7680 + 120;
constexpr int SoftwareBlocks = 6656 + 104;
constexpr int DataBlocks = 1024 + 16;
constexpr int AllBytes = 1966080;
constexpr int DataBytes = 262144;
constexpr int PacedBaud = 115200;
constexpr int TracedBaud = 921600;
constexpr int DefaultBytes = 131072;
constexpr int WaitPolls = 10000;
constexpr int ParallelRuns = 8;
constexpr int Repeats = 3;
constexpr int StationBaud = 921600;
constexpr int StationDevices = 32;
constexpr int WindowDevices = 128;
constexpr quint32 ImageSeed = 20261207;

struct Programs {
    QString device;
    QString cli;
    QString wait;
    QString window;        // empty when the window's driver is not built
    QString portableCli;   // the CLI built with the portable serial backend; empty when not built
    QString stationWindow; // the station window's driver
    QString holders;       // the look through /proc
};

// The phases of one operation, from the status lines the program printed.
struct Timing {
    bool ok = false;
    double transfer = 0; // from the transfer's start to the verify: data and checksum blocks
    double total = 0;    // from the connect's start to the update's success
    long peakRssKb = 0;
    int failed = 0; // of the runs this stands for
};

// The run's own messages (progress, errors) are kept aside and shown only when it failed.
Timing timingOf(ChildRun &run, const QString &what, const QString &errorFile) {
    const ChildRun::Result result = run.wait(2min);
    Timing t;
    const double connecting = run.timeOf(StatusCode::Connecting);
    const double transfer = run.timeOf(StatusCode::Transfer);
    const double verify = run.timeOf(StatusCode::Verify);
    const double done = run.timeOf(StatusCode::UpdateSuccess);
    t.peakRssKb = result.peakRssKb;
    t.ok =
        result.exitCode == 0 && connecting >= 0 && transfer >= 0 && verify > transfer && done > 0;
    if (!t.ok) {
        QFile errors(errorFile);
        errors.open(QIODevice::ReadOnly);
        Say(QStringLiteral("%1 did not succeed (exit %2): %3")
                .arg(what)
                .arg(result.exitCode)
                .arg(QString::fromLocal8Bit(errors.readAll().trimmed())));
        return t;
    }
    t.transfer = verify - transfer;
    t.total = done - connecting;
    return t;
}

Timing runProgram(const QString &program, const QStringList &arguments) {
    ChildRun run;
    const QString errorFile = QDir::temp().filePath(
        QStringLiteral("torvane_bench-%1.err").arg(QCoreApplication::applicationPid()));
    if (!run.start(program, arguments, true, errorFile))
        return {};
    const Timing timing = timingOf(run,
                                   QStringLiteral("%1 %2").arg(QFileInfo(program).fileName(),
                                                               arguments.join(QLatin1Char(' '))),
                                   errorFile);
    QFile::remove(errorFile);
    return timing;
}

Timing runCli(const Programs &programs, const QStringList &arguments) {
    return runProgram(programs.cli, arguments);
}

Timing runWindow(const Programs &programs, const QStringList &arguments) {
    return runProgram(programs.window, arguments);
}

// The middle of several runs, by transfer time: one slow run from a busy machine does not count.
// Failed runs are counted, not timed.
Timing median(std::vector<Timing> runs) {
    const int all = int(runs.size());
    runs.erase(std::remove_if(runs.begin(), runs.end(), [](const Timing &t) { return !t.ok; }),
               runs.end());
    if (runs.empty()) {
        Timing none;
        none.failed = all;
        return none;
    }
    std::sort(runs.begin(), runs.end(),
              [](const Timing &a, const Timing &b) { return a.transfer < b.transfer; });
    Timing m = runs[runs.size() / 2];
    for (const Timing &t : runs)
        m.peakRssKb = std::max(m.peakRssKb, t.peakRssKb);
    m.failed = all - int(runs.size());
    return m;
}

QString failures(const Timing &t) {
    return t.failed ? QStringLiteral("; %1 of %2 runs failed").arg(t.failed).arg(Repeats)
                    : QString();
}

QString rateRow(const Timing &t, int blocks) {
    if (!t.ok)
        return QStringLiteral("failed") + failures(t);
    return QStringLiteral("%1 blocks/s (transfer %2 s, total %3 s%4)")
        .arg(Number(blocks / t.transfer, 0), Number(t.transfer, 3), Number(t.total, 3),
             failures(t));
}

QString megabytes(long kb) {
    // ru_maxrss counts KiB; the goal is in (decimal) megabytes.
    return kb > 0 ? QStringLiteral("%1 MB").arg(Number(kb * 1024.0 / 1e6, 1))
                  : QStringLiteral("failed");
}

// "cpu_seconds wall_seconds" from a program that waited for a reply that never came.
QString waitRow(const QString &program, const QStringList &arguments) {
    ChildRun run;
    if (!run.start(program, arguments))
        return QStringLiteral("failed");
    const auto line = run.readLine(std::chrono::minutes(5));
    run.wait();
    const QList<QByteArray> parts = line ? line->text.split(' ') : QList<QByteArray>();
    if (parts.size() != 2)
        return QStringLiteral("failed");
    const double cpu = parts[0].toDouble();
    const double wall = parts[1].toDouble();
    return QStringLiteral("%1 s CPU in %2 s: %3 % of a core")
        .arg(Number(cpu, 3), Number(wall, 2), Number(100 * cpu / wall, 2));
}

// From a CLI trace: the tool's turnaround (acknowledgement read to next block written) and the
// rest of each block's round trip beyond its line time (the device and the terminal).
QString turnaround(const QString &tracePath, int baud) {
    QFile file(tracePath);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("failed");
    std::vector<double> tool, beyond;
    double sent = -1, acked = -1;
    const double lineTime = (256.0 + 9) * 11 / baud;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype close = line.indexOf(']');
        if (!line.startsWith('[') || close < 0)
            continue;
        const double t = line.mid(1, close - 1).trimmed().toDouble();
        const QByteArray what = line.mid(close + 2);
        if (what.startsWith("-> block ")) {
            if (acked >= 0)
                tool.push_back(t - acked);
            sent = t;
            acked = -1;
        } else if (what.startsWith("<- @KZVNRRSS") && sent >= 0) {
            beyond.push_back(t - sent - lineTime);
            acked = t;
            sent = -1;
        }
    }
    if (tool.empty() || beyond.empty())
        return QStringLiteral("failed");
    const auto at = [](std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        return v[size_t(q * double(v.size() - 1))] * 1e6;
    };
    return QStringLiteral("tool: median %1 us, 99th percentile %2 us from acknowledgement to next "
                          "block; device and terminal: median %3 us beyond the line time")
        .arg(Number(at(tool, 0.5), 0), Number(at(tool, 0.99), 0), Number(at(beyond, 0.5), 0));
}

QString machine() {
    QString cpu;
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : info.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                cpu = QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    return QStringLiteral("%1, %2 cores, %3 %4, Qt %5")
        .arg(cpu.isEmpty() ? QSysInfo::currentCpuArchitecture() : cpu)
        .arg(std::thread::hardware_concurrency())
        .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion(), QLatin1String(qVersion()));
}

// What every benchmark is given (the programs, the images, a folder of its own), and the rows
// of the table, each benchmark's in the order they print.
struct Bench {
    Bench(const Programs &given, const QString &folder)
        : programs(given), work(folder), all(work.filePath(QStringLiteral("all.bin"))),
          data(work.filePath(QStringLiteral("data.bin"))),
          def(work.filePath(QStringLiteral("default.bin"))),
          back(work.filePath(QStringLiteral("software.bin"))) {}

    Programs programs;
    QDir work;
    QString all;  // Download All's image
    QString data; // Download Data's
    QString def;  // Download Default's
    QString back; // where Upload Software saves
    // Unpaced, the device verifies, erases and programs at once: the figures are the tool's.
    QStringList quick{QStringLiteral("--erase-time"), QStringLiteral("0"),
                      QStringLiteral("--program-time"), QStringLiteral("0")};
    std::vector<Row> rows;

    void unpacedRows();
    void pacedRows();
    void tracedRow();
    void waitRows();
    void parallelRow();
    void loadedStationRows();
    void stationRows();
    void stationWindowRows();
    void holderRow();

private:
    struct Failures {
        int failed = 0;
        double seconds = 0;
    };
    std::optional<Failures> loadedRun(const EmulatedDevices &devices, int count) const;
    QString failuresText(const EmulatedDevices &devices, int count, bool againstOne) const;
    std::optional<ChildRun::Result> stationRun(const EmulatedDevices &devices, int count) const;
};

void Bench::unpacedRows() {
    Say(QStringLiteral("unpaced transfers through a pty"));
    EmulatedDevices device(programs.device, quick);
    const QString port = device.path();
    std::vector<Timing> download, upload, windowDownload, windowUpload, portableDownload,
        portableUpload;
    const QStringList downloadAll{QStringLiteral("download"), QStringLiteral("all"), all,
                                  QStringLiteral("--port"), port};
    const QStringList uploadSoftware{QStringLiteral("upload"),
                                     QStringLiteral("software"),
                                     back,
                                     QStringLiteral("--port"),
                                     port,
                                     QStringLiteral("--overwrite")};
    for (int i = 0; i < Repeats; ++i) {
        download.push_back(runCli(programs, downloadAll));
        upload.push_back(runCli(programs, uploadSoftware));
        if (!programs.portableCli.isEmpty()) {
            portableDownload.push_back(runProgram(programs.portableCli, downloadAll));
            portableUpload.push_back(runProgram(programs.portableCli, uploadSoftware));
        }
        if (!programs.window.isEmpty()) {
            windowDownload.push_back(
                runWindow(programs, {QStringLiteral("download"), QStringLiteral("4"), all, port}));
            windowUpload.push_back(
                runWindow(programs, {QStringLiteral("upload"), QStringLiteral("5"), back, port}));
        }
    }
    const QString goal = QStringLiteral(">= 12,000 blocks/s");
    const Timing cliDownload = median(download);
    rows.push_back({QStringLiteral("CLI, Download All unpaced (7,800 blocks)"),
                    rateRow(cliDownload, AllBlocks), goal});
    rows.push_back({QStringLiteral("CLI, Upload Software unpaced (6,760 blocks)"),
                    rateRow(median(upload), SoftwareBlocks), goal});
    if (!programs.portableCli.isEmpty()) {
        rows.push_back({QStringLiteral("CLI, portable serial backend, Download All unpaced"),
                        rateRow(median(portableDownload), AllBlocks), goal});
        rows.push_back({QStringLiteral("CLI, portable serial backend, Upload Software unpaced"),
                        rateRow(median(portableUpload), SoftwareBlocks), goal});
    }
    Timing winDownload;
    if (!programs.window.isEmpty()) {
        winDownload = median(windowDownload);
        rows.push_back({QStringLiteral("Window (offscreen), Download All unpaced"),
                        rateRow(winDownload, AllBlocks), goal});
        rows.push_back({QStringLiteral("Window (offscreen), Upload Software unpaced"),
                        rateRow(median(windowUpload), SoftwareBlocks), goal});
    }
    rows.push_back({QStringLiteral("Peak RSS, CLI during Download All"),
                    megabytes(cliDownload.peakRssKb), QStringLiteral("-")});
    if (!programs.window.isEmpty())
        rows.push_back({QStringLiteral("Peak RSS, window during Download All"),
                        megabytes(winDownload.peakRssKb), QStringLiteral("<= 40 MB")});
}

void Bench::pacedRows() {
    Say(QStringLiteral("Download Data paced at %1 bit/s (about 27 s)").arg(PacedBaud));
    EmulatedDevices device(
        programs.device, quick + QStringList{QStringLiteral("--pace"), QString::number(PacedBaud)});
    const Timing paced = runCli(programs, {QStringLiteral("download"), QStringLiteral("data"), data,
                                           QStringLiteral("--port"), device.path()});
    // Every block and its acknowledgement at 11 bits a byte: the line can do no better.
    const double minimum = double(DataBlocks) * (256 + 9) * 11 / PacedBaud;
    rows.push_back({QStringLiteral("CLI, Download Data paced at 115200 bit/s (1,040 blocks)"),
                    paced.ok ? QStringLiteral("%1 s against the line's %2 s: efficiency %3")
                                   .arg(Number(paced.transfer, 3), Number(minimum, 3),
                                        Number(minimum / paced.transfer, 4))
                             : QStringLiteral("failed"),
                    QStringLiteral(">= 0.99")});

    // The same line behind a USB adapter whose latency timer holds each answer until it
    // fires, with a boot loader that answers one connect request only.
    Say(QStringLiteral("Download Data paced, behind a 16 ms latency timer (about 35 s)"));
    EmulatedDevices held(programs.device,
                         quick +
                             QStringList{QStringLiteral("--pace"), QString::number(PacedBaud),
                                         QStringLiteral("--fault"), QStringLiteral("answer-once"),
                                         QStringLiteral("--fault"), QStringLiteral("latency=16")});
    const Timing late = runCli(programs, {QStringLiteral("download"), QStringLiteral("data"), data,
                                          QStringLiteral("--port"), held.path()});
    rows.push_back({QStringLiteral("CLI, Download Data paced, behind a 16 ms latency timer"),
                    late.ok && paced.ok
                        ? QStringLiteral("%1 s against %2 s without it: %3 times as long")
                              .arg(Number(late.transfer, 3), Number(paced.transfer, 3),
                                   Number(late.transfer / paced.transfer, 3))
                        : QStringLiteral("failed"),
                    QStringLiteral("passes")});
}

void Bench::tracedRow() {
    // Where a paced block's time goes: the trace's times of each block sent and its
    // acknowledgement read.
    Say(QStringLiteral("a traced Download Default at %1 bit/s").arg(TracedBaud));
    EmulatedDevices device(programs.device, quick + QStringList{QStringLiteral("--pace"),
                                                                QString::number(TracedBaud)});
    const QString trace = work.filePath(QStringLiteral("trace.txt"));
    ChildRun run;
    run.start(programs.cli,
              {QStringLiteral("download"), QStringLiteral("default"), def, QStringLiteral("--port"),
               device.path(), QStringLiteral("--trace")},
              true, trace);
    const bool ok = run.wait(2min).exitCode == 0;
    rows.push_back({QStringLiteral("Where a paced block's time goes (traced Download Default)"),
                    ok ? turnaround(trace, TracedBaud) : QStringLiteral("failed"),
                    QStringLiteral("-")});
}

void Bench::waitRows() {
    Say(QStringLiteral("a %1-poll wait on a silent device").arg(WaitPolls));
    EmulatedDevices device(programs.device, {QStringLiteral("--fault"), QStringLiteral("silent")});
    rows.push_back({QStringLiteral("CPU during a 10,000-poll wait, silent device, a poll at "
                                   "a time (as before)"),
                    waitRow(programs.wait, {device.path(), QString::number(WaitPolls)}),
                    QStringLiteral("<= 2 % of a core")});
    rows.push_back(
        {QStringLiteral("CPU during a 10,000-poll wait, silent device, a "
                        "station's board (one wait, 100 ms slices)"),
         waitRow(programs.wait, {device.path(), QString::number(WaitPolls), QStringLiteral("100")}),
         QStringLiteral("<= 0.2 % of a core")});
    if (!programs.window.isEmpty())
        rows.push_back({QStringLiteral("CPU during a 10,000-poll wait, silent device, window"),
                        waitRow(programs.window, {QStringLiteral("wait"), device.path(),
                                                  QString::number(WaitPolls)}),
                        QStringLiteral("<= 2 % of a core")});
    // What waking up a thousand times a second costs here, with nothing done when awake.
    rows.push_back({QStringLiteral("(this machine's floor: 10,000 bare 1 ms sleeps)"),
                    waitRow(programs.wait, {QStringLiteral("--floor"), QString::number(WaitPolls)}),
                    QStringLiteral("-")});
}

void Bench::parallelRow() {
    Say(QStringLiteral("%1 CLIs on %1 devices at once").arg(ParallelRuns));
    std::vector<std::unique_ptr<EmulatedDevices>> devices;
    for (int i = 0; i < ParallelRuns; ++i)
        devices.push_back(std::make_unique<EmulatedDevices>(programs.device, quick));
    auto batch = [&](int count) {
        const auto start = ChildRun::Clock::now();
        std::vector<std::unique_ptr<ChildRun>> runs;
        for (int i = 0; i < count; ++i) {
            runs.push_back(std::make_unique<ChildRun>());
            runs.back()->start(programs.cli,
                               {QStringLiteral("download"), QStringLiteral("all"), all,
                                QStringLiteral("--port"), devices[size_t(i)]->path()},
                               false, QStringLiteral("/dev/null"));
        }
        bool ok = true;
        for (auto &run : runs)
            ok = run->wait().exitCode == 0 && ok;
        const double wall = std::chrono::duration<double>(ChildRun::Clock::now() - start).count();
        return ok ? wall : -1.0;
    };
    // The better of two tries each: a burst of other work on the machine is not the tool's.
    const auto best = [](double a, double b) { return a < 0 || b < 0 ? -1.0 : std::min(a, b); };
    const double alone = best(batch(1), batch(1));
    const double together = best(batch(ParallelRuns), batch(ParallelRuns));
    rows.push_back(
        {QStringLiteral("8 CLIs flashing 8 devices at once (Download All) against one alone"),
         alone > 0 && together > 0
             ? QStringLiteral("%1 s against %2 s: ratio %3")
                   .arg(Number(together, 2), Number(alone, 2), Number(together / alone, 2))
             : QStringLiteral("failed"),
         QStringLiteral("-")});
}

// One run of a station on the first `count` devices, with the machine as it is: how many boards
// failed (said), and its wall time. Nothing when it did not run or wrote not a record a board.
std::optional<Bench::Failures> Bench::loadedRun(const EmulatedDevices &devices, int count) const {
    const QString report = work.filePath(QStringLiteral("loaded.jsonl"));
    QFile::remove(report);
    QStringList arguments{QStringLiteral("download"), QStringLiteral("data"), data,
                          QStringLiteral("--report"), report};
    for (const QString &path : devices.paths().mid(0, count))
        arguments << QStringLiteral("--port") << path;
    ChildRun station;
    if (!station.start(programs.cli, arguments, false, work.filePath(QStringLiteral("loaded.err"))))
        return std::nullopt;
    Failures f;
    f.seconds = station.wait().wallSeconds;
    QFile records(report);
    if (!records.open(QIODevice::ReadOnly))
        return std::nullopt;
    int seen = 0;
    for (const QByteArray &line : records.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        ++seen;
        if (line.contains("\"exitCode\":0,"))
            continue;
        ++f.failed;
        Say(QStringLiteral("a board failed: %1").arg(QString::fromUtf8(line.left(400))));
    }
    if (seen != count)
        return std::nullopt;
    return f;
}

// The boards failed in each of the runs, and against one board alone the slowest run's time.
QString Bench::failuresText(const EmulatedDevices &devices, int count, bool againstOne) const {
    const std::optional<Failures> alone =
        againstOne ? loadedRun(devices, 1) : std::optional<Failures>(Failures{});
    QStringList failed;
    double seconds = 0;
    for (int k = 0; k < Repeats; ++k) {
        const std::optional<Failures> f = loadedRun(devices, count);
        if (!f || !alone)
            return QStringLiteral("failed to run");
        failed << QString::number(f->failed);
        seconds = std::max(seconds, f->seconds);
    }
    QString text =
        QStringLiteral("%1 of %2 failed").arg(failed.join(QStringLiteral(", "))).arg(count);
    if (againstOne)
        text += QStringLiteral("; %1 s against %2 s for one alone")
                    .arg(Number(seconds, 1), Number(alone->seconds, 1));
    return text;
}

// Stations that must lose no healthy board, three runs each: the machine loaded by two busy
// processes, and by the boards themselves. No retries.
void Bench::loadedStationRows() {
    Say(QStringLiteral("a loaded station: 64 devices at %1 bit/s beside two busy processes "
                       "(about two minutes)")
            .arg(PacedBaud));
    {
        std::vector<std::unique_ptr<ChildRun>> busy;
        for (int k = 0; k < 2; ++k) {
            busy.push_back(std::make_unique<ChildRun>());
            busy.back()->start(QStringLiteral("/bin/sh"),
                               {QStringLiteral("-c"), QStringLiteral("while :; do :; done")},
                               false);
        }
        const EmulatedDevices paced(
            programs.device, 64,
            quick + QStringList{QStringLiteral("--pace"), QString::number(PacedBaud)});
        rows.push_back({QStringLiteral("Loaded station: 64 devices at 115200 bit/s beside two "
                                       "busy processes (Download Data), three runs"),
                        failuresText(paced, 64, true), QStringLiteral("none fails")});
        for (const auto &process : busy)
            process->signal(SIGKILL);
    }
    for (const int count : {128, 256}) {
        Say(QStringLiteral("a station of %1 devices at %2 bit/s").arg(count).arg(StationBaud));
        const EmulatedDevices fast(
            programs.device, count,
            quick + QStringList{QStringLiteral("--pace"), QString::number(StationBaud)});
        rows.push_back({QStringLiteral("Station of %1 devices at 921600 bit/s loading the "
                                       "machine itself (Download Data), three runs")
                            .arg(count),
                        failuresText(fast, count, false), QStringLiteral("none fails")});
    }
}

// The station on the first `count` devices: one process, a thread per device. Nothing when a
// board failed (said).
std::optional<ChildRun::Result> Bench::stationRun(const EmulatedDevices &devices, int count) const {
    QStringList arguments{QStringLiteral("download"), QStringLiteral("data"), data};
    for (const QString &path : devices.paths().mid(0, count))
        arguments << QStringLiteral("--port") << path;
    const QString errorFile = work.filePath(QStringLiteral("station.err"));
    ChildRun run;
    run.start(programs.cli, arguments, false, errorFile);
    const ChildRun::Result result = run.wait();
    if (result.exitCode == 0)
        return result;
    QFile errors(errorFile);
    errors.open(QIODevice::ReadOnly);
    for (const QByteArray &line : errors.readAll().split('\n')) {
        if (line.contains("(exit") && !line.contains("(exit 0)"))
            Say(QStringLiteral("station on %1 devices: %2")
                    .arg(count)
                    .arg(QString::fromLocal8Bit(line)));
    }
    return std::nullopt;
}

QString ratioText(const std::optional<ChildRun::Result> &together,
                  const std::optional<ChildRun::Result> &alone) {
    if (!together || !alone)
        return QStringLiteral("failed");
    return QStringLiteral("%1 s against %2 s: ratio %3")
        .arg(Number(together->wallSeconds, 2), Number(alone->wallSeconds, 2),
             Number(together->wallSeconds / alone->wallSeconds, 3));
}

// The station against one device alone.
void Bench::stationRows() {
    {
        Say(QStringLiteral("the station: %1 devices paced at %2 bit/s, Download Data (about a "
                           "minute)")
                .arg(ParallelRuns)
                .arg(PacedBaud));
        const EmulatedDevices paced(
            programs.device, ParallelRuns,
            quick + QStringList{QStringLiteral("--pace"), QString::number(PacedBaud)});
        const auto alone = stationRun(paced, 1);
        const auto together = stationRun(paced, ParallelRuns);
        rows.push_back({QStringLiteral("Station, 8 devices at 115200 bit/s (Download Data) "
                                       "against one alone"),
                        ratioText(together, alone), QStringLiteral("<= 1.02")});
    }

    Say(QStringLiteral("the station: %1 devices paced at %2 bit/s")
            .arg(StationDevices)
            .arg(StationBaud));
    const EmulatedDevices fast(
        programs.device, StationDevices,
        quick + QStringList{QStringLiteral("--pace"), QString::number(StationBaud)});
    const auto fastAlone = stationRun(fast, 1);
    const auto fastAll = stationRun(fast, StationDevices);
    rows.push_back({QStringLiteral("Station, 32 devices at 921600 bit/s (Download Data) "
                                   "against one alone"),
                    ratioText(fastAll, fastAlone), QStringLiteral("<= 1.02")});
    rows.push_back(
        {QStringLiteral("Station's CPU per device-second, 32 devices at 921600 bit/s"),
         fastAll
             ? QStringLiteral("%1 s CPU in %2 s for 32: %3 % of a core per device (one alone: "
                              "%4 %)")
                   .arg(
                       Number(fastAll->cpuSeconds, 2), Number(fastAll->wallSeconds, 2),
                       Number(100 * fastAll->cpuSeconds / fastAll->wallSeconds / StationDevices, 2),
                       fastAlone ? Number(100 * fastAlone->cpuSeconds / fastAlone->wallSeconds, 2)
                                 : QStringLiteral("-"))
             : QStringLiteral("failed"),
         QStringLiteral("<= 1 % of a core")});
    rows.push_back({QStringLiteral("Peak RSS, station with 32 devices"),
                    fastAll ? megabytes(fastAll->peakRssKb) : QStringLiteral("failed"),
                    QStringLiteral("<= 40 MB")});
}

// The window's run of the same boards, against the command line's just before.
void Bench::stationWindowRows() {
    if (!QFileInfo(programs.stationWindow).isExecutable())
        return;
    Say(QStringLiteral("the station window: %1 devices paced at %2 bit/s")
            .arg(WindowDevices)
            .arg(StationBaud));
    const EmulatedDevices many(
        programs.device, WindowDevices,
        quick + QStringList{QStringLiteral("--pace"), QString::number(StationBaud)});
    QStringList arguments{QStringLiteral("download"), QStringLiteral("data"), data};
    for (const QString &path : many.paths())
        arguments << QStringLiteral("--port") << path;
    // As above: every device serves one unmeasured operation first.
    stationRun(many, WindowDevices);
    const auto cliAgain = stationRun(many, WindowDevices);
    ChildRun run;
    run.start(programs.stationWindow, arguments, true, work.filePath(QStringLiteral("window.err")));
    const ChildRun::Result window = run.wait();
    const QStringList figures =
        run.lines().empty()
            ? QStringList()
            : QString::fromLocal8Bit(run.lines().back().text).split(QLatin1Char(' '));
    const bool ok = figures.size() == 4 && cliAgain;
    // Boards that failed are said, not hidden: the figures stand beside them.
    const QString failedBoards =
        ok && figures[1] != QLatin1String("0")
            ? QStringLiteral(" (%1 of %2 boards failed)").arg(figures[1], figures[0])
            : QString();
    const QString name = QStringLiteral("%1 devices at 921600 bit/s").arg(WindowDevices);
    rows.push_back(
        {QStringLiteral("Station window, %1 (Download Data) against the CLI's station").arg(name),
         ok ? QStringLiteral("%1 s against %2 s: ratio %3%4")
                  .arg(Number(window.wallSeconds, 2), Number(cliAgain->wallSeconds, 2),
                       Number(window.wallSeconds / cliAgain->wallSeconds, 3), failedBoards)
            : QStringLiteral("failed"),
         QStringLiteral("<= 1.05")});
    rows.push_back({QStringLiteral("Station window's event loop meanwhile: a 10 ms "
                                   "timer's lateness, 99th percentile (worst)"),
                    ok ? QStringLiteral("%1 ms (%2 ms)").arg(figures[2], figures[3])
                       : QStringLiteral("failed"),
                    QStringLiteral("<= 50 ms")});
    rows.push_back(
        {QStringLiteral("Station window's CPU, %1").arg(name),
         ok ? QStringLiteral("%1 s CPU in %2 s: %3 % of a core per device")
                  .arg(Number(window.cpuSeconds, 2), Number(window.wallSeconds, 2),
                       Number(100 * window.cpuSeconds / window.wallSeconds / WindowDevices, 2))
            : QStringLiteral("failed"),
         QStringLiteral("-")});
    rows.push_back({QStringLiteral("Peak RSS, station window with %1 devices").arg(WindowDevices),
                    ok ? megabytes(window.peakRssKb) : QStringLiteral("failed"),
                    QStringLiteral("<= 80 MB")});
}

// What each opening looks at in /proc before it touches a port, with many processes running.
void Bench::holderRow() {
    constexpr int Others = 1000;
    ChildRun run;
    const bool started = run.start(programs.holders, {QString::number(Others)});
    const ChildRun::Result looked = started ? run.wait() : ChildRun::Result{};
    const QStringList figures =
        run.lines().empty()
            ? QStringList()
            : QString::fromLocal8Bit(run.lines().back().text).split(QLatin1Char(' '));
    const bool ok = started && looked.exitCode == 0 && figures.size() == 3;
    rows.push_back(
        {QStringLiteral("An opening's looks through /proc with %1 other processes "
                        "running: who else has the port open; whether it is a "
                        "board's port (medians)")
             .arg(ok ? figures[0] : QString::number(Others)),
         ok ? QStringLiteral("%1 ms; %2 ms").arg(figures[1], figures[2]) : QStringLiteral("failed"),
         QStringLiteral("-")});
}

// The programs the benchmarks run, from the build tree (and the portable backend's) given.
// Nothing when one that every row needs is not built (said); a program only some rows need
// is left empty, and its rows out.
std::optional<Programs> findPrograms(int argc, char *argv[]) {
    const QString bin = BuildFolder(argc, argv);
    Programs programs{bin + QStringLiteral("/device/torvane-device"),
                      bin + QStringLiteral("/cli/torvane-cli"),
                      bin + QStringLiteral("/bench/torvane_bench_wait"),
                      bin + QStringLiteral("/bench/torvane_bench_window"),
                      QString(),
                      bin + QStringLiteral("/bench/torvane_bench_station_window"),
                      bin + QStringLiteral("/bench/torvane_bench_holders")};
    for (const QString *program : {&programs.device, &programs.cli, &programs.wait}) {
        if (!QFileInfo(*program).isExecutable()) {
            Say(QStringLiteral("%1 is not built").arg(*program));
            return std::nullopt;
        }
    }
    if (!QFileInfo(programs.window).isExecutable()) {
        Say(QStringLiteral("%1 is not built: no window rows").arg(programs.window));
        programs.window.clear();
    }
    if (argc > 2)
        programs.portableCli = QString::fromLocal8Bit(argv[2]) + QStringLiteral("/cli/torvane-cli");
    if (!programs.portableCli.isEmpty() && !QFileInfo(programs.portableCli).isExecutable()) {
        Say(QStringLiteral("%1 is not built: no rows for the portable backend")
                .arg(programs.portableCli));
        programs.portableCli.clear();
    }
    return programs;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const std::optional<Programs> programs = findPrograms(argc, argv);
    if (!programs)
        return 1;
    QTemporaryDir work;
    Bench bench(*programs, work.path());
    if (!WriteRandomImage(bench.all, AllBytes, ImageSeed) ||
        !WriteRandomImage(bench.data, DataBytes, ImageSeed) ||
        !WriteRandomImage(bench.def, DefaultBytes, ImageSeed)) {
        Say(QStringLiteral("cannot write the images in %1").arg(work.path()));
        return 1;
    }

    bench.unpacedRows();
    bench.pacedRows();
    bench.tracedRow();
    bench.waitRows();
    bench.parallelRow();
    bench.loadedStationRows();
    bench.stationRows();
    bench.stationWindowRows();
    bench.holderRow();

    std::printf("Machine: %s\n\n", qPrintable(machine()));
    std::printf("| Figure | Measured | Goal |\n|---|---|---|\n");
    for (const Row &row : bench.rows)
        PrintRow(row);
    return 0;
}
