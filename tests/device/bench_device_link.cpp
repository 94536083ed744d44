// Block round trips through a real pty: link's SendBlock as the tool, torvane-device as the
// device. Prints figures; asserts nothing.
#include "bench/cpu_time.h"
#include "link/blocks.h"
#include "link/checksum_table.h"
#include "link/event_pump.h"
#include "link/frames.h"
#include "link/handshake.h"
#include "link/line.h"
#include "link/port_opening.h"
#include "link/tmscomm.h"
#include "link/transfer_mode.h"
#include "support/device_process.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Nothing to do between polls.
struct QuietPump : EventPump {
    void processEvents() override {}
};

// User and system seconds of a running process, from /proc.
double processCpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
}

struct Outcome {
    int blocks = 0;
    double blockSeconds = 0;
    double totalSeconds = 0;
    bool ok = false;
};

// One download as the tool runs it, timing the blocks and the whole.
Outcome download(Line &line, int mode) {
    Outcome outcome;
    QElapsedTimer total;
    total.start();
    if (OpenComPort(line.MSComm, 0) || !ConnectDevice(line, TransferMode(mode)))
        return outcome;
    const int dataBlocks = ImageSize(TransferMode(mode)) / BlockSize;
    const int blocks = dataBlocks + ChecksumBlocks(dataBlocks);
    Block block{};
    QElapsedTimer timer;
    timer.start();
    for (int k = 0; k < blocks; ++k) {
        block[0] = quint8(k);
        block[1] = quint8(k >> 8);
        if (!SendBlock(line, block)) {
            std::fprintf(stderr, "block %d was not acknowledged\n", k);
            return outcome;
        }
    }
    outcome.blockSeconds = timer.nsecsElapsed() / 1e9;
    outcome.blocks = blocks;
    // The table is not this image's: the device answers RCVF, and the operation ends there.
    WaitReply(line, CommandCode::RCVS, 100000);
    outcome.totalSeconds = total.nsecsElapsed() / 1e9;
    outcome.ok = true;
    return outcome;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Block round trips between link's SendBlock and torvane-device through a pty."));
    parser.addHelpOption();
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Unpaced \"Download Software\" runs."),
                                          QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption pacedOption(
        QStringLiteral("paced"), QStringLiteral("Also one \"Download Data\" paced at 115200."));
    const QCommandLineOption traceOption(
        QStringLiteral("trace"), QStringLiteral("Writes the paced device's trace to <file>."),
        QStringLiteral("file"));
    parser.addOptions({roundsOption, pacedOption, traceOption});
    parser.process(app);

    TMSComm comm;
    QuietPump pump;
    Line line(comm, pump);
    {
        DeviceProcess device({QStringLiteral("--erase-time"), QStringLiteral("0"),
                              QStringLiteral("--program-time"), QStringLiteral("0")});
        if (device.slavePath().isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(device.errorString()));
            return 1;
        }
        comm.setPortResolver([path = device.slavePath()](int) {
            return TMSComm::PortTarget{path, {}};
        });
        const double hostCpu = CpuSeconds(RUSAGE_SELF);
        const double deviceCpu = processCpuSeconds(device.process().processId());
        int blocks = 0;
        double seconds = 0;
        for (int round = 0; round < parser.value(roundsOption).toInt(); ++round) {
            const Outcome o = download(line, 0);
            if (!o.ok)
                return 1;
            blocks += o.blocks;
            seconds += o.blockSeconds;
            std::printf("unpaced Download Software: %d blocks in %.3f s, %.0f blocks/s\n", o.blocks,
                        o.blockSeconds, o.blocks / o.blockSeconds);
        }
        std::printf("unpaced: %d block round trips, %.0f blocks/s, %.1f us each; CPU: tool "
                    "%.2f s, device %.2f s\n",
                    blocks, blocks / seconds, seconds / blocks * 1e6,
                    CpuSeconds(RUSAGE_SELF) - hostCpu,
                    processCpuSeconds(device.process().processId()) - deviceCpu);
    }
    if (parser.isSet(pacedOption)) {
        QStringList args{QStringLiteral("--pace"),         QStringLiteral("115200"),
                         QStringLiteral("--erase-time"),   QStringLiteral("0"),
                         QStringLiteral("--program-time"), QStringLiteral("0")};
        if (parser.isSet(traceOption))
            args << QStringLiteral("--trace");
        DeviceProcess device(args);
        comm.setPortResolver([path = device.slavePath()](int) {
            return TMSComm::PortTarget{path, {}};
        });
        const Outcome o = download(line, 1);
        if (!o.ok)
            return 1;
        const double minimum = o.blocks * (256.0 + 9.0) * 11.0 / 115200.0;
        std::printf("paced 115200 Download Data: %d blocks in %.3f s; line minimum %.3f s "
                    "(%.2f ms a block); %.1f%% of the line's rate; connect to verdict %.3f s\n",
                    o.blocks, o.blockSeconds, minimum, minimum / o.blocks * 1e3,
                    100.0 * minimum / o.blockSeconds, o.totalSeconds);
        if (parser.isSet(traceOption)) {
            QFile trace(parser.value(traceOption));
            if (trace.open(QIODevice::WriteOnly))
                trace.write(device.stderrText().toLocal8Bit());
        }
    }
    return 0;
}
