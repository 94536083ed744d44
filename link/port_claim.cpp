#include "link/port_claim.h"

#include "base/bounded_file.h"
#include "link/comm_error.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <linux/kcmp.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <optional>
#include <vector>

namespace {

QString groupName(gid_t gid) {
    std::vector<char> buffer(16384);
    group entry{};
    group *found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return QString::number(gid);
    return QString::fromLocal8Bit(found->gr_name);
}

// The user is listed in the group but this login began before: the membership is not yet ours.
bool listedIn(gid_t gid) {
    std::vector<char> buffer(16384);
    passwd user{};
    passwd *me = nullptr;
    if (::getpwuid_r(::getuid(), &user, buffer.data(), buffer.size(), &me) != 0 || !me)
        return false;
    const QByteArray name = me->pw_name;
    std::vector<char> groupBuffer(65536);
    group entry{};
    group *found = nullptr;
    if (::getgrgid_r(gid, &entry, groupBuffer.data(), groupBuffer.size(), &found) != 0 || !found)
        return false;
    for (char **member = found->gr_mem; member && *member; ++member)
        if (name == *member)
            return true;
    return false;
}

QString permissionCause(const QString &path, int error) {
    const QString refused = QStringLiteral("permission to open the device was refused (%1)")
                                .arg(qt_error_string(error));
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return refused;
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return QStringLiteral("%1: the device (mode %2) lets no group open it; ask the "
                              "administrator")
            .arg(refused)
            .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    const QString group = groupName(st.st_gid);
    if (listedIn(st.st_gid))
        return QStringLiteral("%1: the device is open to group %2, which you joined after this "
                              "login began; log in again")
            .arg(refused, group);
#ifdef Q_OS_LINUX
    return QStringLiteral("%1: the device is open to group %2; join it with "
                          "`sudo usermod -aG %2 $USER`, then log in again")
        .arg(refused, group);
#else
    return QStringLiteral("%1: the device is open to group %2; ask to be made a member, then log "
                          "in again")
        .arg(refused, group);
#endif
}

QString processName(const QByteArray &pid) {
    const BoundedFile comm = ReadBoundedFile(QString::fromLatin1("/proc/" + pid + "/comm"), 256);
    const QString name = QString::fromLocal8Bit(comm.content.trimmed());
    return name.isEmpty() ? QStringLiteral("PID %1").arg(QLatin1String(pid))
                          : QStringLiteral("%1 (PID %2)").arg(name, QLatin1String(pid));
}

// The process whose flock is on the file `st` describes, as the system lists the locks.
QString flockHolder(const struct stat &st) {
#ifdef Q_OS_LINUX
    const BoundedFile locks = ReadBoundedFile(QStringLiteral("/proc/locks"), 4 << 20);
    // "1: FLOCK  ADVISORY  WRITE 812 00:1a:4 0 EOF": the file as major:minor (hex) and inode.
    const QByteArray file = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(qulonglong(st.st_ino));
    for (const QByteArray &line : locks.content.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 5 && fields[1] == "FLOCK" && fields[5] == file &&
            fields[4].toLongLong() != ::getpid())
            return processName(fields[4]);
    }
#else
    Q_UNUSED(st)
#endif
    return {};
}

#ifdef Q_OS_LINUX
// A Unix 98 pseudo-terminal's slave: its index, or -1 for any other device.
int ptyIndexOf(dev_t device) {
    const unsigned group = major(device);
    return group >= 136 && group <= 143 ? int((group - 136) * 256 + minor(device)) : -1;
}

// Whether the open pty master `fd` of process `pid` is the master of pty `index`.
bool isMasterOf(const char *pid, const char *fd, int index) {
    const BoundedFile info = ReadBoundedFile(
        QStringLiteral("/proc/%1/fdinfo/%2").arg(QLatin1String(pid), QLatin1String(fd)), 4096);
    const qsizetype at = info.content.indexOf("tty-index:");
    if (at < 0)
        return false;
    const QByteArray value = info.content.mid(at + 10, info.content.indexOf('\n', at) - at - 10);
    bool ok = false;
    return value.trimmed().toInt(&ok) == index && ok;
}

// This process's own descriptors of `device`.
std::vector<int> ownDescriptors(dev_t device) {
    std::vector<int> own;
    DIR *fds = ::opendir("/proc/self/fd");
    if (!fds)
        return own;
    while (const dirent *fd = ::readdir(fds)) {
        char *end = nullptr;
        const long number = std::strtol(fd->d_name, &end, 10);
        struct stat st {};
        if (end != fd->d_name && *end == '\0' && ::fstat(int(number), &st) == 0 &&
            S_ISCHR(st.st_mode) && st.st_rdev == device)
            own.push_back(int(number));
    }
    ::closedir(fds);
    return own;
}

// Whether descriptor `fd` of process `pid` is one of `own` itself, not an opening of its own: a
// child between its fork and its exec (a helper program being started) holds a copy of every
// descriptor of ours for a moment, our port's included.
bool copyOfOurs(long pid, long fd, const std::vector<int> &own) {
#ifdef SYS_kcmp
    return std::any_of(own.begin(), own.end(), [&](int ours) {
        return ::syscall(SYS_kcmp, ::getpid(), pid, KCMP_FILE, ours, fd) == 0;
    });
#else
    Q_UNUSED(pid)
    Q_UNUSED(fd)
    Q_UNUSED(own)
    return false;
#endif
}
#endif

} // namespace

QStringList HoldersOf(dev_t device) {
    QStringList holders;
#ifdef Q_OS_LINUX
    DIR *processes = ::opendir("/proc");
    if (!processes)
        return holders;
    const int ptyIndex = ptyIndexOf(device);
    const dev_t multiplexer = makedev(5, 2);
    const pid_t self = ::getpid();
    std::vector<QByteArray> masters;
    std::optional<std::vector<int>> own; // looked up once a process has the device open
    while (const dirent *process = ::readdir(processes)) {
        char *end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        char fdsPath[48];
        std::snprintf(fdsPath, sizeof fdsPath, "%ld/fd", pid);
        const int fds = ::openat(::dirfd(processes), fdsPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fds < 0)
            continue;
        DIR *open = ::fdopendir(fds);
        if (!open) {
            ::close(fds);
            continue;
        }
        bool holds = false;
        masters.clear();
        while (const dirent *fd = ::readdir(open)) {
            struct stat st {};
            if (fd->d_name[0] == '.' || ::fstatat(fds, fd->d_name, &st, 0) != 0 ||
                !S_ISCHR(st.st_mode))
                continue;
            if (st.st_rdev == device) {
                if (!own)
                    own = ownDescriptors(device);
                holds = holds || !copyOfOurs(pid, std::strtol(fd->d_name, nullptr, 10), *own);
            } else if (ptyIndex >= 0 && st.st_rdev == multiplexer) {
                masters.emplace_back(fd->d_name);
            }
        }
        ::closedir(open);
        // A pty's other end is the device behind it, whether or not it holds the slave too.
        const bool otherEnd = std::any_of(masters.begin(), masters.end(), [&](const QByteArray &m) {
            return isMasterOf(process->d_name, m.constData(), ptyIndex);
        });
        if (holds && !otherEnd)
            holders << processName(QByteArray(process->d_name));
    }
    ::closedir(processes);
#else
    Q_UNUSED(device)
#endif
    return holders;
}

QString ClaimDevice(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            return qt_error_string(errno);
        struct stat st {};
        const QString holder = ::fstat(fd, &st) == 0 ? flockHolder(st) : QString();
        return holder.isEmpty() ? InUseText()
                                : QStringLiteral("%1: %2 holds it").arg(InUseText(), holder);
    }
#ifdef TIOCEXCL
    ::ioctl(fd, TIOCEXCL);
#endif
    return {};
}

void ReleaseDevice(int fd) {
#ifdef TIOCNXCL
    ::ioctl(fd, TIOCNXCL);
#else
    Q_UNUSED(fd)
#endif
}

QString OpenFailureCause(const QString &path, int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return permissionCause(path, error);
    case EBUSY: {
        // Who asked for the device alone is not told: those that have it open are.
        struct stat st {};
        const QStringList openers = ::stat(QFile::encodeName(path).constData(), &st) == 0
                                        ? HoldersOf(st.st_rdev)
                                        : QStringList();
        return openers.isEmpty() ? InUseText()
                                 : QStringLiteral("%1 (open in %2)")
                                       .arg(InUseText(), openers.join(QStringLiteral(", ")));
    }
    case ENOTTY:
        return QStringLiteral("not a serial port");
    default:
        return qt_error_string(error);
    }
}
