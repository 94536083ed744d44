#include "plant/record_sequence.h"

#include "plant/state_folder.h"

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

// A count's file holds a number and a line end.
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
    if (lock_ >= 0)
        ::close(lock_);
    if (dir_ >= 0)
        ::close(dir_);
}

QString RecordSequence::path() const {
    return folder_ + QLatin1Char('/') + name_ + QStringLiteral(".seq");
}

bool RecordSequence::open(QString *why) {
    if (dir_ >= 0)
        return true;
    const QByteArray folder = QFile::encodeName(folder_);
    if (!QDir().mkpath(QFileInfo(folder_).absolutePath()) ||
        (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST) ||
        (dir_ = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
        *why = QStringLiteral("cannot make %1: %2").arg(folder_, qt_error_string(errno));
        return false;
    }
    const QByteArray lock = QFile::encodeName(name_ + QStringLiteral(".lock"));
    lock_ = ::openat(dir_, lock.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock_ < 0) {
        *why = QStringLiteral("cannot open %1/%2: %3")
                   .arg(folder_, QFile::decodeName(lock), qt_error_string(errno));
        ::close(dir_);
        dir_ = -1;
        return false;
    }
    return true;
}

bool RecordSequence::last(qint64 *number, QString *why) const {
    *number = 0;
    const QByteArray name = QFile::encodeName(name_ + QStringLiteral(".seq"));
    const int fd = ::openat(dir_, name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT)
        return true;
    char text[MaxCountBytes + 1] = {};
    struct stat st {};
    const bool read = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                      st.st_size <= MaxCountBytes && ::read(fd, text, MaxCountBytes) == st.st_size;
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    bool isNumber = false;
    *number = QByteArray(text).trimmed().toLongLong(&isNumber);
    if (read && isNumber && *number >= 0)
        return true;
    *why = QStringLiteral("the station's record count %1 cannot be read: %2")
               .arg(path(),
                    !read && fd < 0 ? qt_error_string(error) : QStringLiteral("it holds no count"));
    return false;
}

bool RecordSequence::keep(qint64 number, QString *why) const {
    // Whole or not at all: written aside, on the disk, then named into place.
    const QByteArray name = QFile::encodeName(name_ + QStringLiteral(".seq"));
    const QByteArray part = "." + name + ".part";
    const QByteArray text = QByteArray::number(number) + '\n';
    const int fd = ::openat(dir_, part.constData(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool kept = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size() &&
                ::fdatasync(fd) == 0;
    int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (kept &&
        (::renameat(dir_, part.constData(), dir_, name.constData()) != 0 || ::fsync(dir_) != 0)) {
        kept = false;
        error = errno;
    }
    if (kept)
        return true;
    *why = QStringLiteral("the station's record count %1 cannot be kept: %2")
               .arg(path(), qt_error_string(error));
    ::unlinkat(dir_, part.constData(), 0);
    return false;
}

bool RecordSequence::next(qint64 *number, QString *why) {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (!open(why))
        return false;
    while (::flock(lock_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            *why = QStringLiteral("cannot lock the station's record count %1: %2")
                       .arg(path(), qt_error_string(errno));
            return false;
        }
    }
    qint64 given = 0;
    const bool kept = last(&given, why) && keep(given + 1, why);
    ::flock(lock_, LOCK_UN);
    if (kept)
        *number = given + 1;
    return kept;
}
