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
    if (!plan_.report.isEmpty()) {
        report_ = std::make_unique<ReportFile>();
        QString why;
        // No board is touched without its record.
        if (!report_->open(plan_.report, &why))
            return fileRefusal(why);
        for (int k = 0; k < plan_.steps.size(); ++k) {
            const JobStep &step = plan_.steps[k];
            if (!step.holdsImage())
                continue;
            const char *what =
                step.command == StepCommand::Verify ? "file read back" : "download file";
            if (const QString clash = report_->conflictWith(step.file, what); !clash.isEmpty())
                return named(fileRefusal(clash), k);
        }
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
    images_.clear();
    images_.resize(size_t(plan_.steps.size()));
    for (int k = 0; k < plan_.steps.size(); ++k) {
        if (auto refusal = holdImage(k)) {
            images_.clear();
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

std::optional<StationRefusal> StationRun::holdImage(int k) {
    const JobStep &step = plan_.steps[k];
    if (!step.holdsImage())
        return std::nullopt;
    HeldImage &image = images_[size_t(k)];
    // A file read back after it was sent is held once: the very bytes sent are those compared.
    for (int before = 0; before < k && !image.held(); ++before) {
        const JobStep &earlier = plan_.steps[before];
        if (earlier.holdsImage() && earlier.file == step.file &&
            ImageSize(earlier.mode) == ImageSize(step.mode))
            image.bytes = images_[size_t(before)].bytes;
    }
    if (!image.held()) {
        image = HoldImageFile(step.file, step.mode);
        if (!image.held()) {
            StationRefusal refusal = fileRefusal(
                image.error,
                image.refusal ? QLatin1String(FileRefusalText(*image.refusal)) : QString());
            refusal.place = step.file;
            // Not there yet (a share mounted late) is tried again by a service; refused is not.
            if (ImageNotThereYet(step.file))
                refusal.code = ExitCode::ImageNotThere;
            return named(refusal, k);
        }
    }
    const QString imageSha256 = QString::fromLatin1(
        QCryptographicHash::hash(*image.bytes, QCryptographicHash::Sha256).toHex());
    // What is checked is what every board is sent: the bytes held, not the file's name.
    if (!step.expectSha256.isEmpty() && step.expectSha256.toLower() != imageSha256) {
        StationRefusal refusal;
        refusal.kind = StationRefusal::Kind::ImageDiffers;
        refusal.place = step.file;
        refusal.expected = step.expectSha256.toLower();
        refusal.actual = imageSha256;
        return named(refusal, k);
    }
    return std::nullopt;
}

StationRefusal StationRun::named(StationRefusal refusal, int k) const {
    if (plan_.steps.size() > 1) {
        refusal.step = k + 1;
        refusal.stepName = StepName(plan_.steps[k]);
    }
    return refusal;
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
    for (int k = 0; k < plan_.steps.size(); ++k) {
        BoardStep step{plan_.steps[k], nullptr, {}};
        if (step.step.command == StepCommand::Upload)
            step.step.file = UploadFileFor(step.step.file, port);
        if (size_t(k) < images_.size() && images_[size_t(k)].held()) {
            step.image = images_[size_t(k)].bytes;
            step.sha256 = QCryptographicHash::hash(*step.image, QCryptographicHash::Sha256).toHex();
        }
        job.steps.push_back(std::move(step));
    }
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
    if (!report_)
        return QString();
    for (const BoardStep &step : job.steps) {
        if (step.step.command != StepCommand::Upload)
            continue;
        if (const QString why =
                report_->conflictWith(QFileInfo(step.step.file).absoluteFilePath(), "upload file");
            !why.isEmpty())
            return why;
    }
    return QString();
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
        for (const BoardStep &step : job.steps) {
            if (step.step.command != StepCommand::Upload)
                continue;
            const QString target = QFileInfo(step.step.file).absoluteFilePath();
            if (const auto [it, added] = targets.emplace(target, port); !added)
                return clash(StationRefusal::Kind::SameTarget, it->second, port, step.step.file);
        }
        if (const QString why = conflict(job); !why.isEmpty())
            return fileRefusal(why);
        jobs->push_back(std::move(job));
    }
    return std::nullopt;
}
