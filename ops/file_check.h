#pragma once

#include "link/transfer_mode.h"

#include <QString>

#include <memory>

class ProgressSink;
class QFile;

// The reasons the check gives for refusing a file.
enum class FileRefusal { NoDownloadFile, MissingDownloadFile, WrongLength, NoUploadFile };

// The text the status line shows for a refusal.
const char *FileRefusalText(FileRefusal reason);

// Checks the file chosen for `mode` before the port is touched. False after showing the reason
// on the sink, and what was wrong with the file in *why when the text does not say it; a
// download file that exists but cannot be read raises a FileError.
bool CheckImageFile(ProgressSink &sink, TransferMode mode, const QString &file,
                    QString *why = nullptr);

// The check of an image already read: only its size can be wrong.
bool CheckImageSize(ProgressSink &sink, TransferMode mode, qint64 size, QString *why = nullptr);

// What lies behind "File wrong!": the size found against the size `mode` takes, or, for a
// negative size, a name that leads to no regular file.
QString WrongLengthReason(TransferMode mode, qint64 size);

// What lies behind a refusal by OpenImageFile: the wrong kind of file, or what the name leads to
// when it is no file (a folder, a link to nothing) or nothing at all, named whole (a name given
// from another folder is looked for in this one).
QString OpenRefusalReason(TransferMode mode, FileRefusal refusal, const QString &name);

// Opens a download file for reading without ever waiting on it (a pipe or a device under the
// name would block a plain open), and keeps it only when it is a regular file. Null when the
// name leads to something else, with the refusal in *refusal; a FileError when the file is
// there but cannot be opened.
std::unique_ptr<QFile> OpenImageFile(const QString &name, FileRefusal *refusal);

// Shares the reading of an opened download file: a writer that takes a lock of its own waits
// until the file is let go. False, with the reason in *why, while another program writes it.
bool ShareImageFile(QFile &file, const QString &name, QString *why);
