#include "support/sandbox.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// What the child says before it gives up; only calls the system allows between fork and exec.
[[noreturn]] void refuse(const char *what) {
    const char *reason = std::strerror(errno);
    (void)!::write(STDERR_FILENO, "sandbox: ", 9);
    (void)!::write(STDERR_FILENO, what, std::strlen(what));
    (void)!::write(STDERR_FILENO, ": ", 2);
    (void)!::write(STDERR_FILENO, reason, std::strlen(reason));
    (void)!::write(STDERR_FILENO, "\n", 1);
    ::_exit(SandboxRefused);
}

void writeTo(const char *path, const char *text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::write(fd, text, std::strlen(text)) < 0)
        refuse(path);
    ::close(fd);
}

// The program is root of its own user namespace, mapped to the user who started it.
void becomeRoot(bool network, const char *uidMap, const char *gidMap) {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS | (network ? CLONE_NEWNET : 0)) != 0)
        refuse("unshare");
    writeTo("/proc/self/setgroups", "deny");
    writeTo("/proc/self/uid_map", uidMap);
    writeTo("/proc/self/gid_map", gidMap);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        refuse("mount --make-rprivate /");
}

void fillDisk(const char *folder, const char *filler) {
    if (::mount("tmpfs", folder, "tmpfs", 0, "size=64k") != 0)
        refuse("mount tmpfs");
    const int fd = ::open(filler, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        refuse(filler);
    static const char zeros[4096] = {};
    while (::write(fd, zeros, sizeof zeros) > 0) {
    }
    ::close(fd);
}

// The loopback up, and port 53 taken by a socket the program holds and never reads.
void silentNameServer(const char *resolvConf, const char *nsswitch) {
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback{};
    std::strcpy(loopback.ifr_name, "lo");
    if (control < 0 || ::ioctl(control, SIOCGIFFLAGS, &loopback) != 0)
        refuse("lo");
    loopback.ifr_flags = short(loopback.ifr_flags | IFF_UP);
    if (::ioctl(control, SIOCSIFFLAGS, &loopback) != 0)
        refuse("lo up");
    ::close(control);
    const int server = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(53);
    if (server < 0 || ::bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        refuse("127.0.0.1:53");
    if (::mount(resolvConf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
        refuse("/etc/resolv.conf");
    if (::mount(nsswitch, "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0)
        refuse("/etc/nsswitch.conf");
}

bool writeFile(const QString &path, const QByteArray &text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

} // namespace

bool SetUpSandbox(QProcess &process, const Sandbox &sandbox, QString *why) {
    const QByteArray uidMap = "0 " + QByteArray::number(::getuid()) + " 1\n";
    const QByteArray gidMap = "0 " + QByteArray::number(::getgid()) + " 1\n";
    const QByteArray disk = QFile::encodeName(sandbox.fullDisk);
    const QByteArray filler = disk + "/filler";
    const QByteArray resolvConf = QFile::encodeName(sandbox.folder + "/resolv.conf");
    const QByteArray nsswitch = QFile::encodeName(sandbox.folder + "/nsswitch.conf");
    if (sandbox.silentNameServer &&
        // Long enough that a program waiting for the answer is seen to wait.
        (!writeFile(QString::fromLocal8Bit(resolvConf),
                    "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n") ||
         !writeFile(QString::fromLocal8Bit(nsswitch), "hosts: files dns\n"))) {
        *why = QStringLiteral("cannot write the sandbox's files in %1").arg(sandbox.folder);
        return false;
    }
    if (!disk.isEmpty() && !QDir().mkpath(sandbox.fullDisk)) {
        *why = QStringLiteral("cannot make %1").arg(sandbox.fullDisk);
        return false;
    }
    const bool network = sandbox.silentNameServer;
    process.setChildProcessModifier([=] {
        becomeRoot(network, uidMap.constData(), gidMap.constData());
        if (!disk.isEmpty())
            fillDisk(disk.constData(), filler.constData());
        if (network)
            silentNameServer(resolvConf.constData(), nsswitch.constData());
    });
    return true;
}
