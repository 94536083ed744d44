#include "station/station_run.h"

#include "plant/publisher.h"
#include "plant/record_sequence.h"
#include "ports/port_identity.h"
#include "ports/port_names.h"
#include "ports/system_ports.h"
#include "station/lot.h"
#include "station/port_file_name.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <map>
#include <sys/stat.h>

namespace {

// A file that is not as it should be: `why`, and the file check's status text where it spoke.
StationRefusal fileRefusal(const QString &why, const QString &status = QString()) {
    StationRefusal refusal;
    refusal.error = why;
    refusal.status = status;
    return refusal;
}

// Two ports that may not run together: one device, or one file to save to, `place`.
StationRefusal clash(StationRefusal::Kind kind, const QString &first, const QString &second,
                     const QString &place) {
    StationRefusal refusal;
    refusal.code = ExitCode::Usage;
    refusal.kind = kind;
    refusal.first = first;
    refusal.second = second;
    refusal.place = place;
    return refusal;
}

// Nothing under the name, nor a folder on its way (a link to a share not mounted yet leads to
// nothing too): the image may yet come. A folder, a loop of links, a file that cannot be read is
// no image that will come by itself.
bool ImageNotThereYet(const QString &name) {
    struct stat st {};
    return ::stat(QFile::encodeName(name).constData(), &st) != 0 &&
           (errno == ENOENT || errno == ENOTDIR);
}

} // namespace

StationRun::StationRun(StationPlan plan, const StopFlag *stop)
    : plan_(std::move(plan)), stop_(stop), start_(std::chrono::steady_clock::now()) {}

StationRun::~StationRun() = default;

std::optional<StationRefusal> StationRun::open() {
    const bool upload = IsUpload(plan_.mode);
    if (!plan_.report.isEmpty()) {
        report_ = std::make_unique<ReportFile>();
        QString why;
        // No board is touched without its record.
        if (!report_->open(plan_.report, &why) ||
            (!upload && !(why = report_->conflictWith(plan_.file, "download file")).isEmpty()))
            return fileRefusal(why);
    }
    if (plan_.publish.enabled()) {
        if (const PublishCheck check = CheckPublishSettings(plan_.publish); !check.why.isEmpty()) {
            StationRefusal refusal = fileRefusal(check.why);
            // A secret left open is the set-up's to mend: it stops a service's restarts.
            if (check.exposed)
                refusal.code = ExitCode::Usage;
            return refusal;
        }
    }
    if (!upload) {
        image_ = HoldImageFile(plan_.file, plan_.mode);
        if (!image_.held()) {
            StationRefusal refusal = fileRefusal(
                image_.error,
                image_.refusal ? QLatin1String(FileRefusalText(*image_.refusal)) : QString());
            if (ImageNotThereYet(plan_.file))
                refusal.code = ExitCode::ImageNotThere;
            return refusal;
        }
        const QString imageSha256 = QString::fromLatin1(
            QCryptographicHash::hash(*image_.bytes, QCryptographicHash::Sha256).toHex());
        // What is checked is what every board is sent: the bytes held, not the file's name.
        if (!plan_.expectSha256.isEmpty() && plan_.expectSha256.toLower() != imageSha256) {
            StationRefusal refusal;
            refusal.kind = StationRefusal::Kind::ImageDiffers;
            refusal.place = plan_.file;
            refusal.expected = plan_.expectSha256.toLower();
            refusal.actual = imageSha256;
            image_ = HeldImage();
            return refusal;
        }
    }
    if (!plan_.lot.isEmpty()) {
        QString why;
        lot_ = Lot::open(plan_.lot, &why);
        if (!lot_)
            return fileRefusal(
                QStringLiteral("the lot %1 cannot be counted into: %2").arg(plan_.lot, why));
    }
    return std::nullopt;
}

std::optional<StationRefusal> StationRun::begin() {
    QString why;
    if (report_ && !report_->create(&why))
        return fileRefusal(why);
    if (report_ || plan_.publish.enabled())
        sequence_ = std::make_unique<RecordSequence>(plan_.publish.station);
    if (!plan_.publish.enabled()) {
        publisher_.reset();
        return std::nullopt;
    }
    if (!publisher_ || publisher_->settings() != plan_.publish) {
        publisher_ = std::make_shared<Publisher>(plan_.publish);
        // No board runs without a place that keeps its record for the broker.
        if (!publisher_->start(&why)) {
            publisher_.reset();
            return fileRefusal(why);
        }
    }
    publisher_->setReported(report_ != nullptr);
    return std::nullopt;
}

void StationRun::publishWith(std::shared_ptr<Publisher> publisher) {
    publisher_ = std::move(publisher);
}

RecordTargets StationRun::records() const {
    return {report_.get(), publisher_.get(), sequence_.get(), plan_.publish.station};
}

BoardJob StationRun::jobFor(const QString &port) const {
    BoardJob job;
    job.request.mode = plan_.mode;
    job.request.file = IsUpload(plan_.mode) ? UploadFileFor(plan_.file, port) : plan_.file;
    job.request.image = image_.bytes;
    job.portName = port;
    job.overwrite = plan_.overwrite;
    job.trace = plan_.trace;
    job.start = start_;
    job.stop = stop_;
    job.lot = plan_.lot;
    job.attempts = 1 + plan_.retries;
    return job;
}

BoardJob StationRun::job(const FoundPort &port, const ComPortMap &map,
                         const std::vector<PresentPort> &present) const {
    BoardJob job = jobFor(port.name);
    job.request.portIndex = port.portIndex;
    job.request.portPath = port.path;
    if (port.path.isEmpty())
        job.comPorts = map;
    job.identity = IdentifyPort(port.path.isEmpty() ? port.device : port.path, present);
    return job;
}

QString StationRun::conflict(const BoardJob &job) const {
    if (!report_ || !IsUpload(plan_.mode))
        return QString();
    return report_->conflictWith(QFileInfo(job.request.file).absoluteFilePath(), "upload file");
}

std::optional<StationRefusal> StationRun::jobsForPorts(const ComPortSource &comPorts,
                                                       std::vector<BoardJob> *jobs,
                                                       QStringList *notes) const {
    std::vector<PortChoice> choices;
    bool anyCom = false;
    for (const QString &port : plan_.ports) {
        choices.push_back(ParsePortName(port).value_or(PortChoice{}));
        anyCom = anyCom || choices.back().portPath.isEmpty();
    }
    const ComPortMap map = anyCom && comPorts ? comPorts() : ComPortMap();
    const std::vector<PresentPort> present = ScanPresentPorts();

    std::map<QString, QString> owners; // device -> the port that names it
    std::map<QString, QString> targets;
    for (int i = 0; i < plan_.ports.size(); ++i) {
        const QString &port = plan_.ports[i];
        const PortChoice &choice = choices[size_t(i)];
        BoardJob job = jobFor(port);
        job.request.portIndex = choice.portIndex;
        job.request.portPath = choice.portPath;
        if (choice.portPath.isEmpty())
            job.comPorts = map;
        const QString opens =
            choice.portPath.isEmpty() ? map.devicePath(choice.portIndex + 1) : choice.portPath;
        job.identity = IdentifyPort(opens, present);
        for (const QString &note : PortNotes(port, choice, map)) {
            if (!notes->contains(note))
                *notes << note;
        }
        // One device, one owner: two names of one device would fight over it.
        const QString device = job.identity.device.isEmpty() ? port : job.identity.device;
        if (const auto [it, added] = owners.emplace(device, port); !added)
            return clash(StationRefusal::Kind::SameDevice, it->second, port, device);
        if (IsUpload(plan_.mode)) {
            const QString target = QFileInfo(job.request.file).absoluteFilePath();
            if (const auto [it, added] = targets.emplace(target, port); !added)
                return clash(StationRefusal::Kind::SameTarget, it->second, port, job.request.file);
            if (const QString why = conflict(job); !why.isEmpty())
                return fileRefusal(why);
        }
        jobs->push_back(std::move(job));
    }
    return std::nullopt;
}
