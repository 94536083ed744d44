#pragma once

#include <QByteArray>
#include <QString>

#include <mutex>

// The file the records go to. Each record is appended whole, in one write at the file's end,
// and on the disk before append() returns: a crash or a power cut loses no finished record, and
// records of devices that finish together never mix. Any thread may append.
class ReportFile {
public:
    ReportFile() = default;
    ~ReportFile();
    ReportFile(const ReportFile &) = delete;
    ReportFile &operator=(const ReportFile &) = delete;

    // Opens `path` for appending, making it when it is not there; false with the reason.
    bool open(const QString &path, QString *why);
    bool isOpen() const { return fd_ >= 0; }
    // Why `file` may not be used beside the report: it is the report itself. Empty otherwise.
    QString conflictWith(const QString &file, const char *role) const;
    // False with the reason when the line could not be written whole.
    bool append(const QByteArray &line, QString *why);

private:
    std::mutex mutex_;
    int fd_ = -1;
    bool regular_ = false;
    QString path_;
};
