#include "link/lock_file.h"

#include "base/bounded_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QThread>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A lock holds a PID, perhaps a name and a host: anything longer is no lock of a live program.
constexpr qint64 LockFileBound = 4096;

QString systemError(int error) {
    return qt_error_string(error);
}

// The PID a lock names: ASCII digits leading its first line (padded or not, the program's or
// user's name after them or not, further lines or not), or the binary int of old programs. None
// for an empty or garbled file.
std::optional<pid_t> ownerIn(const QByteArray &content) {
    const QByteArray first = content.left(content.indexOf('\n')).trimmed();
    qsizetype digits = 0;
    while (digits < first.size() && digits < 12 && std::isdigit(uchar(first[digits])))
        ++digits;
    if (digits > 0 && (digits == first.size() || std::isspace(uchar(first[digits])))) {
        const qlonglong pid = first.left(digits).toLongLong();
        if (pid > 0 && pid == pid_t(pid))
            return pid_t(pid);
    }
    if (content.size() == qsizetype(sizeof(int))) {
        int pid = 0;
        std::memcpy(&pid, content.constData(), sizeof pid);
        if (pid > 0)
            return pid_t(pid);
    }
    return std::nullopt;
}

// A process of another user is alive too: only "no such process" means gone, or an ended
// process its parent has not yet collected, which holds no port.
bool isAlive(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return false;
    const BoundedFile stat = ReadBoundedFile(QStringLiteral("/proc/%1/stat").arg(pid), 4096);
    if (!stat.read())
        return true;
    const QByteArray &fields = stat.content;
    const qsizetype nameEnd = fields.lastIndexOf(')');
    return nameEnd < 0 || fields.mid(nameEnd + 2, 1) != "Z";
}

QString programOf(pid_t pid) {
    return QString::fromLocal8Bit(
        ReadBoundedFile(QStringLiteral("/proc/%1/comm").arg(pid), 256).content.trimmed());
}

// Who holds a lock whose PID is alive, in words: "minicom (PID 812) holds the lock file ...".
QString liveLockText(pid_t owner, const QString &path) {
    if (owner == ::getpid())
        return QStringLiteral("in use by this program (its lock file %1)").arg(path);
    const QString program = programOf(owner);
    const QString who = program.isEmpty() ? QStringLiteral("PID %1").arg(owner)
                                          : QStringLiteral("%1 (PID %2)").arg(program).arg(owner);
    return QStringLiteral("in use by another program: %1 holds the lock file %2").arg(who, path);
}

// The folders QSerialPort looks in, in its order.
QStringList lockFolders() {
    return {QStringLiteral("/var/lock"),
            QStringLiteral("/etc/locks"),
            QStringLiteral("/var/spool/locks"),
            QStringLiteral("/var/spool/uucp"),
            QStringLiteral("/tmp"),
            QStringLiteral("/var/tmp"),
            QStringLiteral("/var/lock/lockdev"),
            QStringLiteral("/run/lock"),
            QDir::tempPath()};
}

// "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..serial_by-id_usb-X" for a link in /dev/serial/by-id,
// "LCK.._tmp_board" for /tmp/board: the name under /dev, '/' written as '_'.
QString lockNameOf(const QString &device) {
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return name.prepend(QLatin1String("LCK.."));
}

// Our own name as QLockFile compares it with the running program's, so that programs on
// QSerialPort take our lock for a live one.
QByteArray ownProgramName() {
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return QFile::encodeName(QFileInfo(exe).fileName());
}

bool sameFile(const QString &path, dev_t device, ino_t inode) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && st.st_dev == device &&
           st.st_ino == inode;
}

} // namespace

QString LockFilePathOf(const QString &device) {
    const QString name = QLatin1Char('/') + lockNameOf(device);
    for (const QString &folder : lockFolders()) {
        const QFileInfo info(folder);
        if (info.isReadable() && (QFile::exists(folder + name) || info.isWritable()))
            return folder + name;
    }
    return {};
}

QString LiveLockOfAnotherName(const QString &device, const QString &given) {
    // The names the port goes by: the device's, the one given, and the links the system makes
    // for it; each as programs write it, whole under /dev or by its last part alone.
    QStringList names{device, QFileInfo(given).absoluteFilePath()};
    for (const char *folder : {"/dev/serial/by-id", "/dev/serial/by-path"}) {
        const QDir links{QString::fromLatin1(folder)};
        for (const QFileInfo &link :
             links.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
            if (link.isSymLink() && link.canonicalFilePath() == device)
                names << link.absoluteFilePath();
        }
    }
    QStringList lockNames;
    const auto add = [&lockNames](const QString &lock) {
        if (!lockNames.contains(lock))
            lockNames << lock;
    };
    for (const QString &name : names) {
        add(lockNameOf(name));
        // By its last part alone, unless that is the name of another device in /dev, whose
        // lock it would be.
        const QString twin = QStringLiteral("/dev/") + QFileInfo(name).fileName();
        if (!QFileInfo::exists(twin) || QFileInfo(twin).canonicalFilePath() == device)
            add(QStringLiteral("LCK..") + QFileInfo(name).fileName());
    }
    const QString own = LockFilePathOf(device);
    // Each folder once, under the name it is known by (/var/lock, not where it leads).
    QStringList folders;
    QStringList seen;
    for (const QString &folder : lockFolders()) {
        const QString real = QFileInfo(folder).canonicalFilePath();
        if (!real.isEmpty() && !seen.contains(real)) {
            seen << real;
            folders << folder;
        }
    }
    for (const QString &folder : folders) {
        for (const QString &lock : lockNames) {
            const QString path = folder + QLatin1Char('/') + lock;
            if (QFileInfo(path).canonicalFilePath() == QFileInfo(own).canonicalFilePath())
                continue;
            const BoundedFile file = ReadBoundedFile(path, LockFileBound, false);
            if (!file.read())
                continue;
            // A stale lock under another name is not ours to remove, and keeps nobody out.
            if (const std::optional<pid_t> owner = ownerIn(file.content); owner && isAlive(*owner))
                return liveLockText(*owner, path);
        }
    }
    return {};
}

PortLockFile::PortLockFile(const QString &device) : path_(LockFilePathOf(device)) {}

PortLockFile::~PortLockFile() {
    // A lock another program broke and wrote anew is theirs now.
    if (owned_ && sameFile(path_, ownDevice_, ownInode_))
        ::unlink(QFile::encodeName(path_).constData());
}

QString PortLockFile::take(const NoteSink &note) {
    if (path_.isEmpty())
        return {};
    // A few rounds at most: another program may take the place between our looks.
    for (int round = 0; round < 5; ++round) {
        switch (place(note)) {
        case Placed::Ours:
        case Placed::Failed:
            return {};
        case Placed::Taken:
            break;
        }
        if (const QString refusal = judge(note); !refusal.isEmpty() || noLock_)
            return refusal;
    }
    return QStringLiteral("the lock file %1 keeps coming back").arg(path_);
}

QString PortLockFile::clear(const NoteSink &note) {
    if (path_.isEmpty() || !QFileInfo::exists(path_))
        return {};
    return judge(note);
}

// Written whole where nobody sees it, then linked into place: nobody reads it half-written, and
// the link fails if another program got there first. On Linux the file has no name until then,
// so a tool killed on the way leaves nothing behind; elsewhere it has a hidden one for a moment.
PortLockFile::Placed PortLockFile::place(const NoteSink &note) {
    const QString folder = QFileInfo(path_).path();
    QByteArray temporary;
    int fd = -1;
#ifdef O_TMPFILE
    // It is linked into place through its descriptor's name in /proc.
    if (::access("/proc/self/fd", F_OK) == 0)
        fd = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0)
        temporary = "/proc/self/fd/" + QByteArray::number(fd);
#endif
    if (fd < 0) {
        temporary = QFile::encodeName(folder + QStringLiteral("/.") + QFileInfo(path_).fileName()) +
                    ".XXXXXX";
        fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    }
    const bool unnamed = temporary.startsWith("/proc/");
    const auto cannot = [&](int error) {
        if (note)
            note(
                QStringLiteral("cannot write the lock file %1: %2").arg(path_, systemError(error)));
        return Placed::Failed;
    };
    if (fd < 0)
        return cannot(errno);
    // The PID as ten digits is what every program reads; the name and host after it are what
    // QLockFile looks at before it believes a lock.
    const QByteArray content = QByteArray::number(qlonglong(::getpid())).rightJustified(10, ' ') +
                               '\n' + ownProgramName() + '\n' +
                               QSysInfo::machineHostName().toUtf8() + '\n';
    struct stat st {};
    const bool written =
        ::fchmod(fd, 0644) == 0 &&
        ::write(fd, content.constData(), size_t(content.size())) == ssize_t(content.size()) &&
        ::fstat(fd, &st) == 0;
    const int writeError = errno;
    const int linked = !written ? -1
                       : unnamed
                           ? ::linkat(AT_FDCWD, temporary.constData(), AT_FDCWD,
                                      QFile::encodeName(path_).constData(), AT_SYMLINK_FOLLOW)
                           : ::link(temporary.constData(), QFile::encodeName(path_).constData());
    const int linkError = errno;
    ::close(fd);
    if (!unnamed)
        ::unlink(temporary.constData());
    if (!written)
        return cannot(writeError);
    if (linked != 0)
        return linkError == EEXIST ? Placed::Taken : cannot(linkError);
    owned_ = true;
    ownDevice_ = st.st_dev;
    ownInode_ = st.st_ino;
    return Placed::Ours;
}

QString PortLockFile::judge(const NoteSink &note) {
    const QByteArray name = QFile::encodeName(path_);
    struct stat st {};
    QByteArray content;
    std::optional<pid_t> owner;
    // A program that writes its lock in place leaves it empty for a moment: an empty lock made
    // in the last two seconds is looked at again until it is older.
    constexpr int FreshSeconds = 2;
    for (int look = 0; look < 1 + FreshSeconds * 20; ++look) {
        if (look > 0)
            QThread::msleep(50);
        const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        const int openError = errno;
        if (fd < 0 && openError == ENOENT)
            return {};
        const bool regular = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        if (fd < 0 ? openError == ELOOP : !regular) {
            // No program writes its lock as a directory, a link or a FIFO: it is named, left as
            // it is, and the port goes without a lock file of ours.
            struct stat what {};
            ::lstat(name.constData(), &what);
            if (fd >= 0)
                ::close(fd);
            noLock_ = true;
            if (note)
                note(QStringLiteral("the lock file %1 is %2, not a lock: it is left as it is, and "
                                    "no lock file is written for the port")
                         .arg(path_, FileKindText(what.st_mode)));
            return {};
        }
        if (fd < 0)
            return QStringLiteral("the lock file %1 cannot be read: %2")
                .arg(path_, systemError(openError));
        content.resize(LockFileBound);
        ssize_t n = 0;
        while ((n = ::read(fd, content.data(), LockFileBound)) < 0 && errno == EINTR) {
        }
        ::close(fd);
        content.resize(n > 0 ? qsizetype(n) : 0);
        owner = ownerIn(content);
        if (owner || !content.isEmpty() || ::time(nullptr) - st.st_mtime >= FreshSeconds)
            break;
    }
    if (owner && isAlive(*owner))
        return liveLockText(*owner, path_);
    const QString why = owner               ? QStringLiteral("of PID %1, which is gone").arg(*owner)
                        : content.isEmpty() ? QStringLiteral("empty")
                                            : QStringLiteral("naming no process");
    // Moved aside under a name of our own before it is removed, and removed only if it is the
    // file judged: a program that broke it meanwhile and wrote its own gets that back, and the
    // next look judges it. (Unlinking by name after a look would remove the other's new lock.)
    const QByteArray aside = QFile::encodeName(QFileInfo(path_).path() + QStringLiteral("/.") +
                                               QFileInfo(path_).fileName()) +
                             ".stale." + QByteArray::number(qlonglong(::getpid()));
    if (::rename(name.constData(), aside.constData()) != 0) {
        if (errno == ENOENT)
            return {};
        return QStringLiteral("the stale lock file %1 (%2) cannot be removed: %3")
            .arg(path_, why, systemError(errno));
    }
    if (!sameFile(QFile::decodeName(aside), st.st_dev, st.st_ino)) {
        (void)!::link(aside.constData(), name.constData());
        ::unlink(aside.constData());
        return {};
    }
    ::unlink(aside.constData());
    if (note)
        note(QStringLiteral("removed the stale lock file %1 (%2)").arg(path_, why));
    return {};
}
