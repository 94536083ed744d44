#include "station/station_watch.h"

#include "ports/com_numbering.h"
#include "ports/system_ports.h"
#include "station/station_plan.h"

StationWatch::StationWatch(const StationRun &run, ComPortSource comPorts)
    : run_(run), ports_(run.plan().ports, std::move(comPorts)) {}

WatchStep StationWatch::look() {
    WatchStep step;
    const std::vector<FoundPort> found = ports_.scan();
    for (const QString &problem : book_.unsaid(ports_.comPorts().problems()))
        step.notes << problem;
    QStringList skipped;
    for (const SkippedPort &port : ports_.skipped())
        skipped << QStringLiteral("%1 is not watched: it is %2").arg(port.device, port.why);
    for (const QString &word : book_.unsaid(skipped))
        step.notes << word;
    // Ten COM numbers, each kept for a port once seen: boards with a USB serial chip of their
    // own use them up, and a board on no number is never served. Said once.
    if (ports_.watchesComNumbers()) {
        std::vector<QString> devices;
        for (const ComPortEntry &port : ports_.comPorts().unnumbered()) {
            // A built-in UART past COM 10 was never reachable by number; nor is a port that is
            // no board's (it has no device).
            if (!port.device.isEmpty() && BuiltInUartIndex(port.device) < 0)
                devices.push_back(port.device);
        }
        for (const QString &device : book_.unreachable(devices))
            step.notes << QStringLiteral("%1 has no COM number (all ten are kept for ports seen "
                                         "before; see %2), so a COM pattern does not reach it: "
                                         "watch it by its device or by-id name")
                              .arg(device, UserPortsFile());
    }
    step.seen = book_.look(found, ports_.stillThere(), ports_.replugged());
    if (step.seen.serve.empty())
        return step;
    const std::vector<PresentPort> present = ScanPresentPorts();
    for (const FoundPort &port : step.seen.serve) {
        BoardJob job = run_.job(port, ports_.comPorts(), present);
        job.watched = true;
        job.number = port.number;
        job.inode = port.inode;
        job.refused = run_.conflict(job);
        step.jobs.emplace_back(port, std::move(job));
    }
    return step;
}
