#include "station/small_file.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool ReadSmallFile(const QString &path, qint64 limit, QByteArray *bytes, QString *why) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = QStringLiteral("cannot open %1: %2").arg(path, qt_error_string(errno));
        return false;
    }
    struct stat st {};
    bool read = false;
    if (::fstat(fd, &st) != 0) {
        *why = QStringLiteral("cannot read %1: %2").arg(path, qt_error_string(errno));
    } else if (!S_ISREG(st.st_mode)) {
        *why = QStringLiteral("%1 is not a regular file").arg(path);
    } else if (st.st_size > limit) {
        *why = QStringLiteral("%1 is larger than %2 KiB").arg(path).arg(limit / 1024);
    } else {
        // One byte more than allowed tells a file that grew since it was measured.
        bytes->resize(limit + 1);
        qint64 got = 0;
        for (;;) {
            const ssize_t n = ::read(fd, bytes->data() + got, size_t(bytes->size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n < 0)
                    *why = QStringLiteral("cannot read %1: %2").arg(path, qt_error_string(errno));
                read = n == 0;
                break;
            }
            got += n;
            if (got > limit) {
                *why = QStringLiteral("%1 is larger than %2 KiB").arg(path).arg(limit / 1024);
                break;
            }
        }
        bytes->resize(got);
    }
    ::close(fd);
    return read;
}
