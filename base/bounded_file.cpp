#include "base/bounded_file.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

QString sizeText(qint64 bytes) {
    return bytes % 1024 == 0 ? QStringLiteral("%1 KiB").arg(bytes / 1024)
                             : QStringLiteral("%1 bytes").arg(bytes);
}

#ifdef Q_OS_UNIX
// What /proc and /sys give has no size until read: read in pieces, up to one byte past the
// bound, which tells a file that grew since it was measured.
void readUpTo(int fd, qint64 size, qint64 maxBytes, BoundedFile *file) {
    qint64 got = 0;
    for (;;) {
        const qint64 room = std::min<qint64>(maxBytes + 1 - got, std::max<qint64>(size + 1, 4096));
        if (room <= 0)
            break;
        file->content.resize(qsizetype(got + room));
        const ssize_t n = ::read(fd, file->content.data() + got, size_t(room));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            file->problem = qt_error_string(errno);
            break;
        }
        if (n == 0)
            break;
        got += n;
    }
    file->content.resize(qsizetype(got));
    if (file->problem.isEmpty() && got > maxBytes)
        file->problem = QStringLiteral("larger than %1").arg(sizeText(maxBytes));
}
#endif

} // namespace

QString FileKindText(unsigned mode) {
    switch (mode & S_IFMT) {
    case S_IFREG:
        return QStringLiteral("a file");
    case S_IFDIR:
        return QStringLiteral("a directory");
    case S_IFCHR:
        return QStringLiteral("a character device");
#ifdef Q_OS_UNIX
    case S_IFIFO:
        return QStringLiteral("a FIFO");
    case S_IFBLK:
        return QStringLiteral("a block device");
    case S_IFSOCK:
        return QStringLiteral("a socket");
    case S_IFLNK:
        return QStringLiteral("a symbolic link");
#endif
    default:
        return QStringLiteral("no file");
    }
}

#ifndef Q_OS_UNIX

BoundedFile ReadBoundedFile(const QString &path, qint64 maxBytes, bool followLinks) {
    // Where there are no FIFOs to hang on, the toolkit's own look at the file does.
    Q_UNUSED(followLinks)
    BoundedFile file;
    const QFileInfo info(path);
    if (!info.exists())
        return file;
    file.exists = true;
    QFile qfile(path);
    if (!info.isFile())
        file.problem = QStringLiteral("not a file");
    else if (info.size() > maxBytes)
        file.problem = QStringLiteral("larger than %1").arg(sizeText(maxBytes));
    else if (!qfile.open(QIODevice::ReadOnly))
        file.problem = qfile.errorString();
    else if ((file.content = qfile.read(maxBytes + 1)).size() > maxBytes)
        file.problem = QStringLiteral("larger than %1").arg(sizeText(maxBytes));
    if (!file.problem.isEmpty())
        file.content.clear();
    return file;
}

#else

BoundedFile ReadBoundedFile(const QString &path, qint64 maxBytes, bool followLinks) {
    return ReadBoundedFileAt(AT_FDCWD, QFile::encodeName(path), maxBytes, followLinks);
}

BoundedFile ReadBoundedFileAt(int folder, const QByteArray &name, qint64 maxBytes,
                              bool followLinks) {
    BoundedFile file;
    // Non-blocking: a FIFO with no writer would otherwise hold the open for ever.
    const int fd =
        ::openat(folder, name.constData(),
                 O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return file;
        file.exists = true;
        struct stat st {};
        // A link not followed, or what the system refuses to open at all (a socket).
        if ((error == ELOOP || error == ENXIO) &&
            ::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            file.problem = QStringLiteral("%1, not a file").arg(FileKindText(st.st_mode));
        else
            file.problem = qt_error_string(error);
        return file;
    }
    file.exists = true;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        file.problem = qt_error_string(errno);
    else if (!S_ISREG(st.st_mode))
        file.problem = QStringLiteral("%1, not a file").arg(FileKindText(st.st_mode));
    else if (st.st_size > maxBytes)
        file.problem = QStringLiteral("larger than %1").arg(sizeText(maxBytes));
    else
        readUpTo(fd, st.st_size, maxBytes, &file);
    ::close(fd);
    if (!file.problem.isEmpty())
        file.content.clear();
    return file;
}

#endif
