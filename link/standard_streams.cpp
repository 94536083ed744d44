#include "link/standard_streams.h"

#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

void EnsureStandardStreams() {
#ifdef Q_OS_UNIX
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free descriptor: this one.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0)
                ::close(opened);
            ::_exit(127); // nowhere to say why, and nothing safe to go on with
        }
    }
#endif
}
