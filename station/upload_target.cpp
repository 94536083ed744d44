#include "station/upload_target.h"

#include "base/whole_file_save.h"

#include <QFile>
#include <QFileInfo>

#include <climits>
#include <unistd.h>

UploadTarget CheckUploadTarget(const QString &file, bool overwrite) {
    UploadTarget target;
    // An empty name is the operation's own refusal ("Can not open Upload file!").
    if (file.isEmpty())
        return target;
    const QFileInfo info(file);
    const QFileInfo folder(info.absolutePath());
    auto refuse = [&target](const QString &reason) {
        target.usable = false;
        target.reason = reason;
        return target;
    };
    if (info.isDir())
        return refuse(QStringLiteral("%1 is a folder").arg(file));
    // A link that leads nowhere would only be found out after the whole transfer.
    if (info.isSymLink() && !info.exists())
        return refuse(QStringLiteral("%1 is a symbolic link to nothing (%2)")
                          .arg(file, info.symLinkTarget()));
    target.exists = info.exists();
    // A device or a pipe is never replaced by an image file, --overwrite or not.
    if (target.exists && !info.isFile())
        return refuse(QStringLiteral("%1 is not a regular file").arg(file));
    if (target.exists && !overwrite)
        return refuse(QStringLiteral("%1 exists; add --overwrite to replace it").arg(file));
    if (target.exists && !info.isWritable())
        return refuse(QStringLiteral("%1 is not writable").arg(file));
    if (!folder.isDir())
        return refuse(QStringLiteral("the folder %1 does not exist").arg(folder.filePath()));
    if (!folder.isWritable())
        return refuse(QStringLiteral("the folder %1 is not writable").arg(folder.filePath()));
    // The image is made under a hidden name beside the target, and the folder's file system must
    // take that name too: found out only after the transfer otherwise.
    const qsizetype name = QFile::encodeName(info.fileName()).size();
    const long longest = ::pathconf(QFile::encodeName(folder.filePath()).constData(), _PC_NAME_MAX);
    const qsizetype most = (longest > 0 ? longest : NAME_MAX) - AsideNameExtra;
    if (name > most)
        return refuse(QStringLiteral("the name %1 is too long: %2 bytes, at most %3 in its folder")
                          .arg(info.fileName())
                          .arg(name)
                          .arg(most));
    if (QFile::encodeName(info.absoluteFilePath()).size() + AsideNameExtra >= PATH_MAX)
        return refuse(QStringLiteral("the path %1 is too long").arg(info.absoluteFilePath()));
    return target;
}
