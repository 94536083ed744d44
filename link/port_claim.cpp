#include "link/port_claim.h"

#include "link/comm_error.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

} // namespace

QString DeviceNodeOf(const QString &path) {
    return QFileInfo(path).canonicalFilePath();
}

QString ClaimDevice(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? InUseText() : qt_error_string(errno);
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
    case EBUSY:
        return InUseText();
    case ENOTTY:
        return QStringLiteral("not a serial port");
    default:
        return qt_error_string(error);
    }
}
