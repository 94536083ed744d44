#include "base/whole_file_save.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX

QString systemError() {
    return WriteFailureText(errno);
}

// A descriptor closed on every way out.
class Descriptor {
public:
    Descriptor() = default;
    ~Descriptor() { reset(-1); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    bool closeChecked() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_ = -1;
};

bool writeAll(int fd, const char *bytes, qint64 size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        bytes += n;
        size -= n;
    }
    return true;
}

// A hidden name whose program is gone (killed in the moment between naming the image and putting
// it in place) is removed the next time.
void removeAbandonedAsides(const QByteArray &folder, const QByteArray &fileName) {
    const QString prefix =
        QLatin1Char('.') + QFile::decodeName(fileName) + QLatin1String(AsideMark);
    const QStringList names =
        QDir(QFile::decodeName(folder))
            .entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        const QStringList parts = name.mid(prefix.size()).split(QLatin1Char('-'));
        bool ok = false;
        const qint64 pid = parts.value(0).toLongLong(&ok);
        if (ok && pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            ::unlink(
                QFile::encodeName(QFile::decodeName(folder) + QLatin1Char('/') + name).constData());
    }
}

// Tries hidden names beside the target until `make` takes one.
bool makeAside(const QByteArray &folder, const QByteArray &fileName,
               const std::function<bool(const QByteArray &)> &make, QByteArray *aside) {
    removeAbandonedAsides(folder, fileName);
    for (int attempt = 0; attempt < AsideAttempts; ++attempt) {
        const QByteArray candidate = folder + "/." + fileName + AsideMark +
                                     QByteArray::number(qint64(::getpid())) + '-' +
                                     QByteArray::number(attempt);
        if (make(candidate)) {
            *aside = candidate;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

Saved saveUnix(const QString &name, const char *bytes, qint64 size, bool keep, QString *why) {
    const auto fail = [why](const QString &what) {
        *why = what;
        return Saved::No;
    };
    const auto taken = [why, &name] {
        *why = QStringLiteral("%1 is taken").arg(name);
        return Saved::NameTaken;
    };
    QFileInfo target(name);
    struct stat existing {};
    bool exists = ::stat(QFile::encodeName(name).constData(), &existing) == 0;
    if (!exists && target.isSymLink())
        return fail(QStringLiteral("%1 is a symbolic link to nothing").arg(name));
    if (exists && !S_ISREG(existing.st_mode))
        return fail(QStringLiteral("%1 is not a regular file").arg(name));
    if (exists && keep)
        return taken();
    // A link is followed: the file it leads to is what the operator covers.
    if (exists && target.isSymLink())
        target = QFileInfo(target.canonicalFilePath());
    const QByteArray path = QFile::encodeName(target.absoluteFilePath());
    const QByteArray folderPath = QFile::encodeName(target.absolutePath());
    const QByteArray fileName = QFile::encodeName(target.fileName());

    Descriptor folder;
    folder.reset(::open(folderPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0)
        return fail(QStringLiteral("the folder %1: %2").arg(target.absolutePath(), systemError()));

    // The image is written without a name first, so that a crash leaves nothing to clean up. A
    // new file gets a new file's permissions from the process's own mask, applied by the
    // system as it makes the file; a covered file keeps its own.
    Descriptor file;
    QByteArray aside;
#ifdef O_TMPFILE
    file.reset(::open(folderPath.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
#endif
    if (file.get() < 0 && !makeAside(
                              folderPath, fileName,
                              [&file](const QByteArray &candidate) {
                                  file.reset(::open(candidate.constData(),
                                                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
                                  return file.get() >= 0;
                              },
                              &aside))
        return fail(QStringLiteral("cannot make a file in %1: %2")
                        .arg(target.absolutePath(), systemError()));
    // A hidden name that is not (or not yet) the target's goes on every way out.
    const auto dropAside = qScopeGuard([&aside] {
        if (!aside.isEmpty())
            ::unlink(aside.constData());
    });
    if ((exists && ::fchmod(file.get(), existing.st_mode & 07777) != 0) ||
        !writeAll(file.get(), bytes, size) || ::fsync(file.get()) != 0)
        return fail(QStringLiteral("cannot write %1: %2").arg(name, systemError()));

    const QByteArray self = "/proc/self/fd/" + QByteArray::number(file.get());
    if (keep) {
        // Takes the name only while it is free: a link is refused a name that is taken.
        const int linked = aside.isEmpty() ? ::linkat(AT_FDCWD, self.constData(), AT_FDCWD,
                                                      path.constData(), AT_SYMLINK_FOLLOW)
                                           : ::link(aside.constData(), path.constData());
        if (linked != 0)
            return errno == EEXIST
                       ? taken()
                       : fail(QStringLiteral("cannot name %1: %2").arg(name, systemError()));
    } else {
        // A name beside the target, for no longer than it takes to rename it over the target.
        if (aside.isEmpty() && !makeAside(
                                   folderPath, fileName,
                                   [&self](const QByteArray &candidate) {
                                       return ::linkat(AT_FDCWD, self.constData(), AT_FDCWD,
                                                       candidate.constData(),
                                                       AT_SYMLINK_FOLLOW) == 0;
                                   },
                                   &aside))
            return fail(QStringLiteral("cannot write beside %1: %2").arg(name, systemError()));
        if (::rename(aside.constData(), path.constData()) != 0)
            return fail(QStringLiteral("cannot replace %1: %2").arg(name, systemError()));
        aside.clear();
    }
    if (!file.closeChecked())
        return fail(QStringLiteral("cannot write %1: %2").arg(name, systemError()));
    // The name itself is on the disk only once the folder is.
    if (::fsync(folder.get()) != 0)
        return fail(QStringLiteral("cannot flush the folder of %1: %2").arg(name, systemError()));
    return Saved::Yes;
}

#endif

} // namespace

QString WriteFailureText(int error) {
    QString text = qt_error_string(error);
#ifdef Q_OS_UNIX
    // The process's own limit, not the disk: the operator can lift it.
    if (error == EFBIG)
        text += QStringLiteral(" (the file size limit, ulimit -f, was reached)");
#endif
    return text;
}

Saved SaveWholeFile(const QString &name, const char *bytes, qint64 size, ExistingFile existing,
                    QString *why) {
    const bool keep = existing == ExistingFile::Keep;
#ifdef Q_OS_UNIX
    return saveUnix(name, bytes, size, keep, why);
#else
    const QFileInfo info(name);
    if (info.exists() && (keep || !info.isFile())) {
        *why = QStringLiteral("%1 is taken").arg(name);
        return keep ? Saved::NameTaken : Saved::No;
    }
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes, size) != size || !file.commit()) {
        *why = QStringLiteral("cannot write %1: %2").arg(name, file.errorString());
        return Saved::No;
    }
    return Saved::Yes;
#endif
}
