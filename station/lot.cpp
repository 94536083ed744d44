#include "station/lot.h"

#include "base/bounded_file.h"
#include "base/whole_file_save.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QUrl>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr int MaxNameLength = 64;
// The most bytes of a lot's file name: well inside what every file system takes.
constexpr int MaxFileNameBytes = 200;
constexpr qint64 MaxLotFileBytes = 16 * 1024;
// Another station holds the lock only while it writes a few hundred bytes.
constexpr auto LockPatience = 5s;

QByteArray fileNameOf(const QString &name) {
    return QUrl::toPercentEncoding(name) + ".json";
}

QString lotsFolder(const QString &folder) {
    return folder + QStringLiteral("/lots");
}

QString rememberedFile(const QString &folder) {
    return folder + QStringLiteral("/current-lot");
}

// The lock the stations counting into lots share, held while it lives.
class LotsLock {
public:
    LotsLock(const QString &folder, QString *why) {
        const QString path = folder + QStringLiteral("/.lock");
        fd_ = ::open(QFile::encodeName(path).constData(),
                     O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
        if (fd_ < 0) {
            *why = QStringLiteral("cannot open %1: %2").arg(path, qt_error_string(errno));
            return;
        }
        // A station stopped while it held the lock (Ctrl-Z) must not hold this one up for good.
        const auto until = std::chrono::steady_clock::now() + LockPatience;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                std::chrono::steady_clock::now() >= until) {
                *why = errno == EWOULDBLOCK
                           ? QStringLiteral("%1 is held by another station for longer than %2 s")
                                 .arg(path)
                                 .arg(LockPatience.count())
                           : QStringLiteral("cannot lock %1: %2").arg(path, qt_error_string(errno));
                ::close(fd_);
                fd_ = -1;
                return;
            }
            QThread::msleep(10);
        }
    }
    ~LotsLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    LotsLock(const LotsLock &) = delete;
    LotsLock &operator=(const LotsLock &) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

bool count(const QJsonObject &object, const char *key, int *into) {
    const QJsonValue value = object.value(QLatin1String(key));
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > 1e9 || number != double(qint64(number)))
        return false;
    *into = int(number);
    return true;
}

} // namespace

QString LotNameProblem(const QString &name) {
    if (name.trimmed().isEmpty())
        return QStringLiteral("a lot needs a name");
    if (name.size() > MaxNameLength)
        return QStringLiteral("a lot's name has at most %1 characters").arg(MaxNameLength);
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            return QStringLiteral("a lot's name is one line of text");
    }
    if (fileNameOf(name).size() > MaxFileNameBytes)
        return QStringLiteral("the lot's name is too long to keep");
    return QString();
}

Lot::Lot(QString name, QString folder)
    : name_(std::move(name)), folder_(lotsFolder(folder)),
      path_(folder_ + QLatin1Char('/') + QString::fromLatin1(fileNameOf(name_))) {}

std::unique_ptr<Lot> Lot::open(const QString &name, QString *why, const QString &folder) {
    if (const QString bad = LotNameProblem(name); !bad.isEmpty()) {
        *why = bad;
        return nullptr;
    }
    std::unique_ptr<Lot> lot(new Lot(name, folder));
    // Read without the lock: each change replaces the file whole.
    QDateTime began;
    if (!lot->readFile(&lot->counts_, &began, why))
        return nullptr;
    return lot;
}

BoardCounts Lot::counts() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

bool Lot::readFile(BoardCounts *counts, QDateTime *began, QString *why) const {
    const BoundedFile file = ReadBoundedFile(path_, MaxLotFileBytes);
    if (!file.exists) {
        *counts = {};
        *began = QDateTime();
        return true;
    }
    if (!file.read()) {
        *why = QStringLiteral("%1 cannot be read (%2)").arg(path_, file.problem);
        return false;
    }
    const QJsonObject object = QJsonDocument::fromJson(file.content).object();
    BoardCounts read;
    if (!count(object, "passed", &read.passed) || !count(object, "failed", &read.failed) ||
        !count(object, "stopped", &read.stopped)) {
        *why = QStringLiteral("%1 does not hold a lot's counts; move it away to begin the lot "
                              "anew")
                   .arg(path_);
        return false;
    }
    *counts = read;
    *began =
        QDateTime::fromString(object.value(QLatin1String("began")).toString(), Qt::ISODateWithMs);
    return true;
}

bool Lot::writeFile(const BoardCounts &counts, const QDateTime &began, QString *why) const {
    QJsonObject object{
        {QStringLiteral("lot"), name_},
        {QStringLiteral("passed"), counts.passed},
        {QStringLiteral("failed"), counts.failed},
        {QStringLiteral("stopped"), counts.stopped},
        {QStringLiteral("began"), began.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("updated"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
    };
    if (const std::optional<double> yield = counts.yield())
        object.insert(QStringLiteral("yield"), std::round(*yield * 10000) / 10000);
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    QString cause;
    if (SaveWholeFile(path_, bytes.constData(), bytes.size(), ExistingFile::Replace, &cause) ==
        Saved::Yes)
        return true;
    *why = QStringLiteral("the lot's counts could not be kept in %1: %2").arg(path_, cause);
    return false;
}

bool Lot::commit(const BoardCounts &batch, bool anew, QString *why) {
    const std::lock_guard<std::mutex> file(fileMutex_);
    if (!QDir().mkpath(folder_)) {
        *why = QStringLiteral("cannot make the folder %1 for the lot's counts").arg(folder_);
        return false;
    }
    // Another station may have counted since: what the file holds now, and the batch on it.
    const LotsLock shared(folder_, why);
    BoardCounts counts;
    QDateTime began;
    if (!shared.held() || (!anew && !readFile(&counts, &began, why)))
        return false;
    counts.add(batch);
    if (!began.isValid())
        began = QDateTime::currentDateTimeUtc();
    if (!writeFile(counts, began, why))
        return false;
    seen(counts);
    return true;
}

void Lot::seen(const BoardCounts &file) {
    const std::lock_guard<std::mutex> lock(mutex_);
    counts_ = file;
    counts_.add(pending_);
}

bool Lot::add(BoardEnd end, QString *why) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        counts_.add(end);
        pending_.add(end);
    }
    return writePending(why);
}

bool Lot::writePending(QString *why) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        // A board ending while another's count is being written is written with the next batch
        // by that board's thread: boards that end together wait for one write, not one each.
        if (writing_ || pending_.served() == 0)
            return true;
        writing_ = true;
    }
    for (;;) {
        BoardCounts batch;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            batch = pending_;
            pending_ = {};
            if (batch.served() == 0) {
                writing_ = false;
                return true;
            }
        }
        if (!commit(batch, false, why)) {
            // Not in the file yet: the next count or look writes it, and counts() holds it.
            const std::lock_guard<std::mutex> lock(mutex_);
            pending_.add(batch);
            writing_ = false;
            return false;
        }
    }
}

bool Lot::restart(QString *why) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        counts_ = pending_ = {};
    }
    return commit({}, true, why);
}

bool Lot::refresh(QString *why) {
    // Counts a write missed go into the file first.
    if (!writePending(why))
        return false;
    const std::lock_guard<std::mutex> file(fileMutex_);
    BoardCounts counts;
    QDateTime began;
    if (!readFile(&counts, &began, why))
        return false;
    seen(counts);
    return true;
}

QString LotLine(const Lot &lot) {
    const BoardCounts counts = lot.counts();
    const std::optional<double> yield = counts.yield();
    return QStringLiteral("%1: %2 passed, %3 failed, %4 stopped; yield %5")
        .arg(lot.name())
        .arg(counts.passed)
        .arg(counts.failed)
        .arg(counts.stopped)
        .arg(yield ? QStringLiteral("%1 %").arg(*yield * 100, 0, 'f', 1) : QStringLiteral("-"));
}

QString RememberedLot(const QString &folder) {
    const BoundedFile file = ReadBoundedFile(rememberedFile(folder), 1024);
    if (!file.read())
        return QString();
    const QString name = QString::fromUtf8(file.content).section(QLatin1Char('\n'), 0, 0);
    return LotNameProblem(name).isEmpty() ? name : QString();
}

bool RememberLot(const QString &name, QString *why, const QString &folder) {
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("cannot make the folder %1").arg(folder);
        return false;
    }
    const QByteArray bytes = name.toUtf8() + '\n';
    return SaveWholeFile(rememberedFile(folder), bytes.constData(), bytes.size(),
                         ExistingFile::Replace, why) == Saved::Yes;
}
