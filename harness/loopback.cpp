#include "harness/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<in_port_t>(port));
    return address;
}

// A socket bound to a free port, and that port; -1 and 0 when there is none.
int boundSocket(int *port) {
    *port = 0;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

} // namespace

int FreeLoopbackPort() {
    int port = 0;
    if (const int fd = boundSocket(&port); fd >= 0)
        ::close(fd);
    return port;
}

bool ListeningOnLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    const sockaddr_in address = loopback(port);
    const bool ok =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

SilentListener::SilentListener() {
    fd_ = boundSocket(&port_);
    if (fd_ >= 0 && ::listen(fd_, 8) != 0) {
        ::close(fd_);
        fd_ = -1;
        port_ = 0;
    }
}

SilentListener::~SilentListener() {
    if (fd_ >= 0)
        ::close(fd_);
}
