#include "plant/record_sequence.h"

#include "base/state_folder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A count's file holds a number, in as many digits as the largest takes, and a line end.
constexpr int CountDigits = 19;
constexpr qint64 MaxCountBytes = 32;
constexpr int MaxNameLength = 100;

// The station's name as a file name takes it, and a digest of the exact name, so that two names
// never share a count however alike their file names are made: "ST-1-0f3a2b1c".
QString fileName(const QString &station) {
    QString name;
    for (const QChar c : station)
        name += c.isLetterOrNumber() && c.unicode() < 128 ? c : QLatin1Char('_');
    const QByteArray digest =
        QCryptographicHash::hash(station.toUtf8(), QCryptographicHash::Sha256).toHex().left(8);
    return name.left(MaxNameLength) + QLatin1Char('-') + QString::fromLatin1(digest);
}

} // namespace

RecordSequence::RecordSequence(const QString &station, const QString &folder)
    : folder_(folder.isEmpty() ? StateFolder() + QStringLiteral("/stations") : folder),
      name_(fileName(station)) {}

RecordSequence::~RecordSequence() {
    if (fd_ >= 0)
        ::close(fd_);
}

QString RecordSequence::path() const {
    return folder_ + QLatin1Char('/') + name_ + QStringLiteral(".seq");
}

bool RecordSequence::open(QString *why) {
    if (fd_ >= 0)
        return true;
    const QByteArray folder = QFile::encodeName(folder_);
    const QByteArray file = QFile::encodeName(path());
    if (!QDir().mkpath(QFileInfo(folder_).absolutePath()) ||
        (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)) {
        *why = QStringLiteral("cannot make %1: %2").arg(folder_, qt_error_string(errno));
        return false;
    }
    fd_ = ::open(file.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0) {
        // A count begun: its name on the disk as well, before any number is given.
        if (const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return true;
    }
    if (errno == EEXIST)
        fd_ = ::open(file.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why =
            QStringLiteral("cannot open the station's record count %1: %2")
                .arg(path(), fd_ < 0 ? qt_error_string(errno) : QStringLiteral("no regular file"));
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool RecordSequence::last(qint64 *number, QString *why) const {
    char text[MaxCountBytes + 1] = {};
    const ssize_t n = ::pread(fd_, text, MaxCountBytes + 1, 0);
    bool isNumber = n == 0;
    *number = n == 0 ? 0 : QByteArray(text).trimmed().toLongLong(&isNumber);
    if (n >= 0 && n <= MaxCountBytes && isNumber && *number >= 0)
        return true;
    *why = QStringLiteral("the station's record count %1 cannot be read: %2")
               .arg(path(), n < 0 ? qt_error_string(errno) : QStringLiteral("it holds no count"));
    return false;
}

bool RecordSequence::keep(qint64 number, QString *why) const {
    // Always as long, in place: the count stays one block of the file, written whole, and a
    // record costs one sync of it.
    const QByteArray text = QByteArray::number(number).rightJustified(CountDigits, '0') + '\n';
    if (::pwrite(fd_, text.constData(), size_t(text.size()), 0) == text.size() &&
        ::ftruncate(fd_, text.size()) == 0 && ::fdatasync(fd_) == 0)
        return true;
    *why = QStringLiteral("the station's record count %1 cannot be kept: %2")
               .arg(path(), qt_error_string(errno));
    return false;
}

bool RecordSequence::next(qint64 *number, QString *why) {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (!open(why))
        return false;
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            *why = QStringLiteral("cannot lock the station's record count %1: %2")
                       .arg(path(), qt_error_string(errno));
            return false;
        }
    }
    qint64 given = 0;
    const bool kept = last(&given, why) && keep(given + 1, why);
    ::flock(fd_, LOCK_UN);
    if (kept)
        *number = given + 1;
    return kept;
}
