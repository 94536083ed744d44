#include "plant/outbox.h"

#include "base/bounded_file.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char Suffix[] = ".json";
constexpr char PartSuffix[] = ".part";
constexpr char LockName[] = "deliverer.lock";
constexpr char DeliveredName[] = "delivered";
// A record a station is writing is there for milliseconds; one this old was left by a kill.
constexpr qint64 AbandonedPartSeconds = 600;
// A record's file is a few hundred bytes: anything far larger is no record of ours.
constexpr qint64 MaxRecordBytes = 1024 * 1024;

bool isRecord(const char *name) {
    const size_t length = std::strlen(name);
    return name[0] != '.' && length > sizeof Suffix &&
           std::strcmp(name + length - (sizeof Suffix - 1), Suffix) == 0;
}

bool isPart(const char *name) {
    const size_t length = std::strlen(name);
    return name[0] == '.' && length > sizeof PartSuffix &&
           std::strcmp(name + length - (sizeof PartSuffix - 1), PartSuffix) == 0;
}

// The folder's entries, read from a descriptor of its own; null when it cannot be read.
DIR *listingOf(int folder) {
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!listing && fd >= 0)
        ::close(fd);
    return listing;
}

} // namespace

Outbox::Outbox(QString folder, QString keyFile, qint64 limit)
    : folder_(std::move(folder)), seal_(std::move(keyFile)), limit_(limit),
      lock_(folder_ + QLatin1Char('/') + QLatin1String(LockName)) {}

Outbox::~Outbox() {
    if (delivered_ >= 0)
        ::close(delivered_);
    if (dir_ >= 0)
        ::close(dir_);
}

bool Outbox::open(QString *why) {
    // Records say what was made where: the outbox is for this user's eyes.
    const QFileInfo info(folder_);
    if (!info.exists()) {
        const QString parent = info.absolutePath();
        if (!QDir().mkpath(parent) ||
            (::mkdir(QFile::encodeName(folder_).constData(), 0700) != 0 && errno != EEXIST)) {
            *why = QStringLiteral("cannot make the outbox %1: %2")
                       .arg(folder_, qt_error_string(errno));
            return false;
        }
    }
    dir_ = ::open(QFile::encodeName(folder_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_ < 0) {
        *why = QStringLiteral("cannot open the outbox %1: %2").arg(folder_, qt_error_string(errno));
        return false;
    }
    if (::faccessat(dir_, ".", W_OK, AT_EACCESS) != 0) {
        *why = QStringLiteral("cannot write into the outbox %1: %2")
                   .arg(folder_, qt_error_string(errno));
        return false;
    }
    if (!lock_.open(why))
        return false;
    if ((::mkdirat(dir_, DeliveredName, 0700) != 0 && errno != EEXIST) ||
        (delivered_ = ::openat(dir_, DeliveredName, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
        *why = QStringLiteral("cannot open %1/%2: %3")
                   .arg(folder_, QLatin1String(DeliveredName), qt_error_string(errno));
        return false;
    }
    if (!seal_.open(why))
        return false;
    oldest(0);
    return true;
}

Outbox::Added Outbox::add(const QByteArray &payload, const QString &id, std::string *name,
                          QString *why) {
    // The count lags behind other stations' records until the next look: the bound is a
    // record or two about.
    if (count_.load() >= limit_)
        return Added::Full;
    // Sixteen hex digits of microseconds sort as the records came; the id makes it unique.
    const qint64 now = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    const QByteArray stem =
        QStringLiteral("%1-%2").arg(now, 16, 16, QLatin1Char('0')).arg(id).toUtf8();
    *name = (stem + '.' + seal_.seal(stem, payload) + Suffix).toStdString();
    const std::string partName = "." + *name + PartSuffix;
    QFile part(folder_ + QLatin1Char('/') + QString::fromStdString(partName));
    QString error;
    if (!part.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        part.write(payload) != payload.size() || !part.flush())
        error = part.errorString();
    else if (::fdatasync(part.handle()) != 0)
        error = qt_error_string(errno);
    part.close();
    // Named into place only once it is whole on the disk, and the name made to last too.
    if (error.isEmpty() &&
        (::renameat(dir_, partName.c_str(), dir_, name->c_str()) != 0 || ::fsync(dir_) != 0))
        error = qt_error_string(errno);
    if (!error.isEmpty()) {
        ::unlinkat(dir_, partName.c_str(), 0);
        // The rename may have happened before the folder failed to sync: the record is not
        // counted as kept, so it must not be published either.
        ::unlinkat(dir_, name->c_str(), 0);
        *why = QStringLiteral("the outbox %1 did not take the record: %2").arg(folder_, error);
        return Added::Failed;
    }
    count_.fetch_add(1);
    return Added::Kept;
}

std::vector<std::string> Outbox::oldest(size_t most) {
    std::vector<std::string> names;
    DIR *listing = listingOf(dir_);
    if (!listing)
        return names;
    const time_t now = ::time(nullptr);
    qint64 count = 0;
    while (const dirent *entry = ::readdir(listing)) {
        if (isRecord(entry->d_name)) {
            ++count;
            if (most > 0)
                names.emplace_back(entry->d_name);
        } else if (delivering_ && isPart(entry->d_name)) {
            struct stat st {};
            if (::fstatat(dir_, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                now - st.st_mtime > AbandonedPartSeconds)
                ::unlinkat(dir_, entry->d_name, 0);
        }
    }
    ::closedir(listing);
    count_.store(count);
    if (names.size() > most) {
        std::nth_element(names.begin(), names.begin() + std::ptrdiff_t(most), names.end());
        names.resize(most);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Outbox::Read Outbox::read(const std::string &name) const {
    Read read;
    const BoundedFile file =
        ReadBoundedFileAt(dir_, QByteArray::fromStdString(name), MaxRecordBytes, false);
    if (!file.read()) {
        read.verdict = file.exists ? Read::Verdict::Unreadable : Read::Verdict::Gone;
        read.why = file.problem;
        return read;
    }
    read.payload = file.content;
    read.verdict = Read::Verdict::Refused;
    // STEM.SEAL.json, STEM being TIME-ID.
    const QByteArray whole = QByteArray::fromStdString(name).chopped(qsizetype(sizeof Suffix - 1));
    const qsizetype dot = whole.lastIndexOf('.');
    const QByteArray stem = dot > 0 ? whole.left(dot) : whole;
    const QByteArray seal = dot > 0 ? whole.mid(dot + 1) : QByteArray();
    const QByteArray id = stem.mid(stem.indexOf('-') + 1);
    QJsonParseError error{};
    const QJsonDocument json = QJsonDocument::fromJson(read.payload, &error);
    if (error.error != QJsonParseError::NoError || !json.isObject())
        read.why = QStringLiteral("no whole JSON record");
    else if (json.object().value(QStringLiteral("id")).toString().toUtf8() != id || id.isEmpty())
        read.why = QStringLiteral("its id is not the one its name gives");
    else if (!seal_.matches(stem, read.payload, seal))
        read.why = QStringLiteral("it bears no seal of this outbox's");
    else
        read.verdict = Read::Verdict::Record;
    if (read.verdict != Read::Verdict::Record)
        read.payload.clear();
    return read;
}

bool Outbox::setAside(const std::string &name, const char *suffix) {
    const std::string aside = name + suffix;
    if (::renameat(dir_, name.c_str(), dir_, aside.c_str()) != 0)
        return false;
    count_.fetch_sub(1);
    return true;
}

void Outbox::remove(const std::string &name) {
    // Not synced: a move the disk forgets only sends the record once more, and its id tells.
    if (::renameat(dir_, name.c_str(), delivered_, name.c_str()) == 0 ||
        (errno != ENOENT && ::unlinkat(dir_, name.c_str(), 0) == 0))
        count_.fetch_sub(1);
}

bool Outbox::sweep(int most) {
    DIR *listing = listingOf(delivered_);
    if (!listing)
        return false;
    bool more = false;
    while (const dirent *entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.')
            continue;
        if (most-- <= 0) {
            more = true;
            break;
        }
        ::unlinkat(delivered_, entry->d_name, 0);
    }
    ::closedir(listing);
    return more;
}

bool Outbox::deliver() {
    delivering_ = lock_.take();
    return delivering_;
}

qint64 Outbox::deliverer() const {
    return lock_.holder();
}
