#include "ports/port_store.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>

namespace {

constexpr char Group[] = "ports";
// Another program giving out numbers holds the file for milliseconds.
constexpr int LockWaitMs = 5000;

QString keyOf(int number) {
    return QStringLiteral("COM%1").arg(number);
}

// 3 for "COM3", also as a hand may write it ("com03"); 0 for any other key.
int numberOfKey(const QString &key) {
    if (!key.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    bool ok = false;
    const int number = key.mid(3).toInt(&ok);
    return ok && number > 0 ? number : 0;
}

// An unquoted comma makes the value a list: it was one text.
QString textOf(const QVariant &value) {
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

ComNumbers numbersIn(QSettings &settings) {
    ComNumbers numbers;
    settings.beginGroup(QLatin1String(Group));
    for (const QString &key : settings.childKeys()) {
        const int number = numberOfKey(key);
        const QString identity = textOf(settings.value(key)).trimmed();
        if (number > 0 && !identity.isEmpty() && !numbers.count(number))
            numbers[number] = identity;
    }
    settings.endGroup();
    return numbers;
}

} // namespace

PortStore::PortStore(QString fileName) : fileName_(std::move(fileName)) {}

ComNumbers PortStore::read() const {
    if (fileName_.isEmpty())
        return {};
    QSettings settings(fileName_, QSettings::IniFormat);
    return numbersIn(settings);
}

ComPortMap PortStore::assign(const std::vector<PresentPort> &present,
                             const ComOverrides &overrides) {
    QMutexLocker guard(&mutex_);
    ComNumbering numbering = AssignComNumbers(present, read(), overrides);
    if (numbering.added.empty() && numbering.dropped.empty())
        return numbering.map;

    const auto unkept = [&](const QString &why) {
        numbering.map.setKeepError(
            QStringLiteral("COM numbers not kept in \"%1\": %2").arg(fileName_, why));
        return numbering.map;
    };
    if (fileName_.isEmpty())
        return unkept(QStringLiteral("the user has no configuration folder"));
    if (!QDir().mkpath(QFileInfo(fileName_).absolutePath()))
        return unkept(QStringLiteral("its folder cannot be made"));
    // Another program may be giving out numbers at this moment: decide again, holding the file,
    // on what it holds now. (The settings' own lock is taken while they write.)
    QLockFile lock(fileName_ + QStringLiteral(".numbering.lock"));
    if (!lock.tryLock(LockWaitMs))
        return unkept(QStringLiteral("another program holds it"));
    QSettings settings(fileName_, QSettings::IniFormat);
    // A file with lines the settings cannot read would lose them on writing: it is left alone.
    if (settings.status() != QSettings::NoError)
        return unkept(QStringLiteral("it cannot be read as it is"));
    numbering = AssignComNumbers(present, numbersIn(settings), overrides);

    settings.beginGroup(QLatin1String(Group));
    const QStringList keys = settings.childKeys();
    const auto forget = [&](int number) {
        for (const QString &key : keys) {
            if (numberOfKey(key) == number)
                settings.remove(key);
        }
    };
    for (int number : numbering.dropped)
        forget(number);
    for (const auto &[number, identity] : numbering.added) {
        forget(number);
        settings.setValue(keyOf(number), identity);
    }
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError)
        return unkept(QStringLiteral("it cannot be written"));
    return numbering.map;
}
