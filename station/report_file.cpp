#include "station/report_file.h"

#include "base/whole_file_save.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ReportFile::~ReportFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

namespace {

// Where a file that is not there yet would be made: its folder as the system knows it.
QString placeOf(const QString &file) {
    const QFileInfo info(file);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? info.absoluteFilePath() : QDir(folder).filePath(info.fileName());
}

} // namespace

bool ReportFile::open(const QString &path, QString *why) {
    path_ = path;
    return openFile(0, why);
}

bool ReportFile::create(QString *why) {
    return fd_ >= 0 || openFile(O_CREAT, why);
}

bool ReportFile::openFile(int create, QString *why) {
    // A pipe nobody reads would hold the run up at its start: it is refused instead.
    const int fd = ::open(QFile::encodeName(path_).constData(),
                          O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | create, 0666);
    if (fd < 0 && errno == ENOENT && !create)
        return true;
    if (fd < 0) {
        const int error = errno;
        struct stat st {};
        // A FIFO opened for writing without a reader answers "no such device or address".
        if (error == ENXIO && ::stat(QFile::encodeName(path_).constData(), &st) == 0 &&
            S_ISFIFO(st.st_mode))
            *why = QStringLiteral("the report file %1 is a pipe that nobody reads: start its "
                                  "reader first, or name a file")
                       .arg(path_);
        else
            *why = QStringLiteral("cannot open the report file %1: %2")
                       .arg(path_, qt_error_string(error));
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    struct stat st {};
    regular_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // Records written into a serial line would reach a device, and be kept nowhere.
    if (::isatty(fd) || S_ISBLK(st.st_mode)) {
        ::close(fd);
        *why = QStringLiteral("the report file %1 is a device, not a file").arg(path_);
        return false;
    }
    fd_ = fd;
    return true;
}

QString ReportFile::conflictWith(const QString &file, const char *role) const {
    struct stat report {};
    struct stat other {};
    const bool otherThere = ::stat(QFile::encodeName(file).constData(), &other) == 0;
    // Neither is there yet: the same name in the same folder would make one file of both.
    const bool same = fd_ >= 0 ? otherThere && ::fstat(fd_, &report) == 0 &&
                                     report.st_dev == other.st_dev && report.st_ino == other.st_ino
                               : !otherThere && !path_.isEmpty() && placeOf(path_) == placeOf(file);
    if (!same)
        return {};
    return QStringLiteral("the report file %1 is the %2 %3").arg(path_, QLatin1String(role), file);
}

bool ReportFile::append(const QByteArray &line, QString *why) {
    const std::lock_guard<std::mutex> lock(mutex_);
    // Where the record starts: a part of it that a full disk cut short is taken back, so that
    // the next record does not run on from half a line.
    struct stat before {};
    const bool measured = regular_ && ::fstat(fd_, &before) == 0;
    qint64 written = 0;
    int error = 0;
    // A limit reached in the middle takes a part; the next write says why it took no more.
    while (written < line.size()) {
        const ssize_t n = ::write(fd_, line.constData() + written, size_t(line.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        written += n;
    }
    if (written != line.size()) {
        struct stat after {};
        // Only while no other program has appended behind it.
        if (written > 0 && measured && ::fstat(fd_, &after) == 0 &&
            after.st_size == before.st_size + written)
            (void)!::ftruncate(fd_, before.st_size);
        *why = QStringLiteral("the report file %1 did not take the record: %2")
                   .arg(path_, WriteFailureText(error));
        return false;
    }
    if (regular_ && ::fdatasync(fd_) != 0) {
        const int syncError = errno;
        // A record the disk may not hold is taken back, so the file never says more than stands.
        struct stat after {};
        if (measured && ::fstat(fd_, &after) == 0 && after.st_size == before.st_size + written)
            (void)!::ftruncate(fd_, before.st_size);
        *why = QStringLiteral("the report file %1 could not be flushed to the disk: %2")
                   .arg(path_, qt_error_string(syncError));
        return false;
    }
    return true;
}
