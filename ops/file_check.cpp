#include "ops/file_check.h"

#include "ops/operation_errors.h"
#include "ops/progress_sink.h"

#include <QFile>
#include <QFileInfo>

#include <iterator>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

const char *FileRefusalText(FileRefusal reason) {
    static constexpr const char *texts[] = {
        "Can not open download file!",
        "Find an error, when opening this file, maybe it inexistent!",
        "File wrong!",
        "Can not open Upload file!",
    };
    static_assert(std::size(texts) == int(FileRefusal::NoUploadFile) + 1);
    return texts[int(reason)];
}

std::unique_ptr<QFile> OpenImageFile(const QString &name, FileRefusal *refusal) {
    auto file = std::make_unique<QFile>(name);
#ifdef Q_OS_UNIX
    const int fd =
        ::open(QFile::encodeName(name).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) {
            *refusal = FileRefusal::MissingDownloadFile;
            return nullptr;
        }
        throw FileError(QStringLiteral("Cannot open %1: %2").arg(name, qt_error_string(errno)));
    }
    // What was opened is what counts: a name replaced since it was looked at is judged anew.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *refusal =
            S_ISDIR(st.st_mode) ? FileRefusal::MissingDownloadFile : FileRefusal::WrongLength;
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw FileError(QStringLiteral("Cannot open %1: %2").arg(name, file->errorString()));
    }
#else
    const QFileInfo info(name);
    if (!info.exists() || info.isDir()) {
        *refusal = FileRefusal::MissingDownloadFile;
        return nullptr;
    }
    if (!info.isFile()) {
        *refusal = FileRefusal::WrongLength;
        return nullptr;
    }
    // The file is only read, so a read-only image is as good as any other.
    if (!file->open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("Cannot open %1: %2").arg(name, file->errorString()));
#endif
    return file;
}

QString WrongLengthReason(TransferMode mode, qint64 size) {
    if (size < 0)
        return QStringLiteral("the file is not a regular file");
    return QStringLiteral("the file has %1 bytes; %2 takes %3")
        .arg(size)
        .arg(QLatin1String(ModeName(mode)))
        .arg(ImageSize(mode));
}

QString OpenRefusalReason(TransferMode mode, FileRefusal refusal, const QString &name) {
    if (refusal == FileRefusal::WrongLength)
        return WrongLengthReason(mode, -1);
    // What is there under the name, when something is that is no file to read.
    const QFileInfo info(name);
    const QString whole = info.absoluteFilePath();
    if (info.isDir())
        return QStringLiteral("%1 is a folder, not a file").arg(whole);
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(name).constData(), &st) != 0 && errno == ELOOP)
        return QStringLiteral("%1 leads round a loop of symbolic links").arg(whole);
#endif
    if (info.isSymLink() && !info.exists())
        return QStringLiteral("%1 is a symbolic link to nothing (%2)")
            .arg(whole, info.symLinkTarget());
    return QStringLiteral("%1 is not there").arg(whole);
}

bool ShareImageFile(QFile &file, const QString &name, QString *why) {
#ifdef Q_OS_UNIX
    if (::flock(file.handle(), LOCK_SH | LOCK_NB) != 0) {
        if (why)
            *why = QStringLiteral("%1 is being written by another program").arg(name);
        return false;
    }
#else
    Q_UNUSED(file)
    Q_UNUSED(name)
    Q_UNUSED(why)
#endif
    return true;
}

bool CheckImageFile(ProgressSink &sink, TransferMode mode, const QString &file, QString *why) {
    const auto refuse = [&sink, why](FileRefusal reason, const QString &words) {
        if (why)
            *why = words;
        sink.fileRefused(reason);
        return false;
    };
    if (IsUpload(mode)) {
        // The upload file is only created when the image has arrived and been verified.
        return file.isEmpty()
                   ? refuse(FileRefusal::NoUploadFile, QStringLiteral("no upload file was chosen"))
                   : true;
    }
    if (file.isEmpty())
        return refuse(FileRefusal::NoDownloadFile, QStringLiteral("no download file was chosen"));
    FileRefusal refusal{};
    const std::unique_ptr<QFile> image = OpenImageFile(file, &refusal);
    if (!image)
        return refuse(refusal, OpenRefusalReason(mode, refusal, file));
    // A 65,536-byte loader is a wrong length like any other: it is refused here.
    return CheckImageSize(sink, mode, image->size(), why);
}

bool CheckImageSize(ProgressSink &sink, TransferMode mode, qint64 size, QString *why) {
    if (size == ImageSize(mode))
        return true;
    if (why)
        *why = WrongLengthReason(mode, size);
    sink.fileRefused(FileRefusal::WrongLength);
    return false;
}
