#include "plant/process_lock.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

ProcessLock::~ProcessLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool ProcessLock::open(QString *why) {
    if (fd_ >= 0)
        return true;
    fd_ = ::open(QFile::encodeName(path_).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                 0600);
    if (fd_ < 0) {
        *why = QStringLiteral("cannot open the lock %1: %2").arg(path_, qt_error_string(errno));
        return false;
    }
    return true;
}

bool ProcessLock::take() {
    if (held_)
        return true;
    if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0)
        return false;
    held_ = true;
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd_, 0) == 0)
        (void)!::pwrite(fd_, pid.constData(), size_t(pid.size()), 0);
    return true;
}

qint64 ProcessLock::holder() const {
    char text[32] = {};
    const ssize_t n = fd_ >= 0 ? ::pread(fd_, text, sizeof text - 1, 0) : 0;
    return n > 0 ? std::atoll(text) : 0;
}
