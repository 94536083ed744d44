#include "link/port_claim.h"

#include "link/comm_error.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <unistd.h>

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
    QFile comm(QString::fromLatin1("/proc/" + pid + "/comm"));
    const QString name = comm.open(QIODevice::ReadOnly)
                             ? QString::fromLocal8Bit(comm.readAll().trimmed())
                             : QString();
    return name.isEmpty() ? QStringLiteral("PID %1").arg(QLatin1String(pid))
                          : QStringLiteral("%1 (PID %2)").arg(name, QLatin1String(pid));
}

// The process whose flock is on the file `st` describes, as the system lists the locks.
QString flockHolder(const struct stat &st) {
#ifdef Q_OS_LINUX
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return {};
    // "1: FLOCK  ADVISORY  WRITE 812 00:1a:4 0 EOF": the file as major:minor (hex) and inode.
    const QByteArray file = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(qulonglong(st.st_ino));
    for (const QByteArray &line : locks.readAll().split('\n')) {
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

// The processes that have the device open, as far as the system lets us see.
QStringList openersOf(dev_t device) {
    QStringList openers;
#ifdef Q_OS_LINUX
    DIR *processes = ::opendir("/proc");
    if (!processes)
        return openers;
    while (const dirent *process = ::readdir(processes)) {
        const QByteArray pid = process->d_name;
        bool isPid = false;
        if (pid.toLongLong(&isPid) == ::getpid() || !isPid)
            continue;
        const QByteArray fds = "/proc/" + pid + "/fd";
        DIR *open = ::opendir(fds.constData());
        if (!open)
            continue;
        while (const dirent *fd = ::readdir(open)) {
            struct stat st {};
            if (fd->d_name[0] != '.' && ::stat((fds + '/' + fd->d_name).constData(), &st) == 0 &&
                S_ISCHR(st.st_mode) && st.st_rdev == device) {
                openers << processName(pid);
                break;
            }
        }
        ::closedir(open);
    }
    ::closedir(processes);
#else
    Q_UNUSED(device)
#endif
    return openers;
}

} // namespace

QString DeviceNodeOf(const QString &path) {
    return QFileInfo(path).canonicalFilePath();
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
                                        ? openersOf(st.st_rdev)
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
