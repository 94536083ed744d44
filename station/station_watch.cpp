#include "station/station_watch.h"

#include "ports/com_numbering.h"
#include "ports/system_ports.h"
#include "station/station_run.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

// A file as it stands: which file it is and when it was last made or changed; empty when there
// is none. An upload is saved under a name of its own and then put in place: a file anew.
QByteArray fileStamp(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return QByteArray();
    return QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino)) +
           ':' + QByteArray::number(qint64(st.st_ctim.tv_sec)) + '.' +
           QByteArray::number(qint64(st.st_ctim.tv_nsec));
}

} // namespace

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
        if (job.refused.isEmpty())
            job.refused = claimUpload(port, job);
        step.jobs.emplace_back(port, std::move(job));
    }
    return step;
}

QString StationWatch::claimUpload(const FoundPort &port, const BoardJob &job) {
    for (const BoardStep &step : job.steps) {
        if (step.step.command != StepCommand::Upload)
            continue;
        const QString target = QFileInfo(step.step.file).absoluteFilePath();
        Upload &upload = uploads_[target];
        if (!upload.port.isEmpty() && upload.port != port.name)
            return QStringLiteral("%1 and %2 would both save to %3")
                .arg(upload.port, port.name, step.step.file);
        upload.port = port.name;
        upload.running = true;
        upload.before = fileStamp(target);
    }
    return QString();
}

void StationWatch::ended(const QString &name, const QString &result) {
    book_.ended(name, result);
    for (auto it = uploads_.begin(); it != uploads_.end();) {
        Upload &upload = it->second;
        if (upload.port == name && upload.running) {
            upload.running = false;
            const QByteArray now = fileStamp(it->first);
            upload.saved = upload.saved || (!now.isEmpty() && now != upload.before);
        }
        // A file no board of this watch saved is anyone's again.
        if (!upload.running && !upload.saved)
            it = uploads_.erase(it);
        else
            ++it;
    }
}
