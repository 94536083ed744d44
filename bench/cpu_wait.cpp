// CPU time of one long wait for a reply that never comes, as the command line waits: prints
// "cpu_seconds wall_seconds" for WaitReply(RCVS, polls) against a silent device; with a third
// argument SLICE_MS, as a station's board waits (one wait, looked at every slice).
// "--floor POLLS" prints the same for bare 1 ms sleeps: what the machine charges for waking up
// a thousand times a second, whatever the program does when awake.
#include "bench/cpu_time.h"
#include "cli/cli_options.h"
#include "cli/terminal_output.h"
#include "link/frames.h"
#include "link/line.h"
#include "link/port_opening.h"
#include "link/tmscomm.h"
#include "station/board_console.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <poll.h>

int main(int argc, char *argv[]) {
    if (argc == 3 && qstrcmp(argv[1], "--floor") == 0) {
        const int polls = std::atoi(argv[2]);
        const double cpuBefore = CpuSeconds();
        const auto wallBefore = std::chrono::steady_clock::now();
        const timespec pause{0, 1000000};
        for (int i = 0; i < polls; ++i)
            ::ppoll(nullptr, 0, &pause, nullptr);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
        std::printf("%.6f %.6f\n", CpuSeconds() - cpuBefore, wall);
        return 0;
    }
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: torvane_bench_wait DEVICE [POLLS [SLICE_MS]]\n");
        return 1;
    }
    const qint32 polls = argc > 2 ? qint32(std::atoi(argv[2])) : 10000;
    CliOptions options;
    ParsePort(QString::fromLocal8Bit(argv[1]), options);
    TerminalOutput output(stdout, stderr, false);
    BoardConsole console(output, nullptr);
    TMSComm comm;
    comm.setPortPath(options.portPath);
    if (argc > 3)
        comm.setWaitSlice(std::chrono::milliseconds(std::atoi(argv[3])));
    Line line(comm, console);
    if (OpenComPort(comm, options.portIndex))
        return 3;
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    const bool replied = WaitReply(line, CommandCode::RCVS, polls);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    std::printf("%.6f %.6f\n", CpuSeconds() - cpuBefore, wall);
    return replied ? 2 : 0;
}
