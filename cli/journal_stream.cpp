#include "cli/journal_stream.h"

#include <QtGlobal>

#include <sys/stat.h>

bool IsJournalStream(int fd) {
    const QByteArray named = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = named.indexOf(':');
    if (colon <= 0)
        return false;
    bool device = false;
    bool inode = false;
    const qulonglong deviceNumber = named.left(colon).toULongLong(&device);
    const qulonglong inodeNumber = named.mid(colon + 1).toULongLong(&inode);
    struct stat st {};
    return device && inode && ::fstat(fd, &st) == 0 && qulonglong(st.st_dev) == deviceNumber &&
           qulonglong(st.st_ino) == inodeNumber;
}

QByteArray WithPriority(const QByteArray &lines, JournalPriority priority) {
    const QByteArray prefix = '<' + QByteArray::number(int(priority)) + '>';
    QByteArray out;
    out.reserve(lines.size() + prefix.size() * (lines.count('\n') + 1));
    qsizetype from = 0;
    while (from < lines.size()) {
        const qsizetype end = lines.indexOf('\n', from);
        const qsizetype next = end < 0 ? lines.size() : end + 1;
        out += prefix;
        out += QByteArrayView(lines).sliced(from, next - from);
        from = next;
    }
    return out;
}
