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

    // Opens `path` for appending when it is there; false with the reason. A report that is not
    // there yet is made by create(), once nothing else can refuse the run.
    bool open(const QString &path, QString *why);
    bool create(QString *why);
    // Why `file` may not be used beside the report: it is the report itself, or would be once
    // both are made. Empty otherwise.
    QString conflictWith(const QString &file, const char *role) const;
    // False with the reason when the line could not be written whole.
    bool append(const QByteArray &line, QString *why);

private:
    // `create` is O_CREAT or 0: without it, a report that is not there is left for create().
    bool openFile(int create, QString *why);

    std::mutex mutex_;
    int fd_ = -1;
    bool regular_ = false;
    QString path_;
};
