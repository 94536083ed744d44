#pragma once

#include <QByteArray>
#include <QString>

// The outbox's mark on each record it writes: a keyed digest of the record's name and bytes,
// carried in its file name. The key is random, made once and kept for this user alone; so a file
// the outbox did not write (a planted record, a copy under a made-up name, a file cut short or
// damaged) never bears a seal that matches, and is never taken for a record.
class RecordSeal {
public:
    explicit RecordSeal(QString keyFile) : keyFile_(std::move(keyFile)) {}

    // Reads the key, making it when there is none yet; false with why.
    bool open(QString *why);
    // The seal of `payload` under the name `stem`, in 32 hexadecimal digits.
    QByteArray seal(const QByteArray &stem, const QByteArray &payload) const;
    bool matches(const QByteArray &stem, const QByteArray &payload, const QByteArray &seal) const;
    const QString &keyFile() const { return keyFile_; }

private:
    bool read(QString *why);
    // Another station making the key at the same moment: the key is the one that got there first.
    bool make(QString *why);

    QString keyFile_;
    QByteArray key_;
};
