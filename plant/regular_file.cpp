#include "plant/regular_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int OpenRegularFile(int folder, const QByteArray &name, qint64 bound, int flags, QString *why) {
    const int fd =
        ::openat(folder, name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags);
    if (fd < 0) {
        *why = qt_error_string(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > bound) {
        *why = !S_ISREG(st.st_mode)
                   ? QStringLiteral("no regular file")
                   : QStringLiteral("larger than %1 bytes").arg(QString::number(bound));
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ReadRegularFile(int folder, const QByteArray &name, qint64 bound, int flags, QByteArray *bytes,
                     QString *why) {
    const int fd = OpenRegularFile(folder, name, bound, flags, why);
    if (fd < 0)
        return false;
    // One byte past the bound tells a file that grew since it was measured.
    bytes->resize(qsizetype(bound + 1));
    qint64 got = 0;
    bool whole = false;
    for (;;) {
        const ssize_t n = ::read(fd, bytes->data() + got, size_t(bound + 1 - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = qt_error_string(errno);
            break;
        }
        if (n == 0) {
            whole = true;
            break;
        }
        got += n;
        if (got > bound) {
            *why = QStringLiteral("larger than %1 bytes").arg(QString::number(bound));
            break;
        }
    }
    ::close(fd);
    bytes->resize(whole ? qsizetype(got) : 0);
    return whole;
}
