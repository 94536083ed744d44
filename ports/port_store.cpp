#include "ports/port_store.h"

#include "base/bounded_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QStringDecoder>

namespace {

constexpr char Group[] = "ports";
// Far more than ten numbers and their comments.
constexpr qint64 PortsFileBound = 64 << 10;
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

// A value as the settings write it: quoted where it holds a separator, its backslashes doubled.
QString valueOf(const QString &written) {
    QString value;
    bool quoted = false;
    for (qsizetype i = 0; i < written.size(); ++i) {
        const QChar c = written[i];
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (c == QLatin1Char('\\') && i + 1 < written.size())
            value += written[++i];
        else if (quoted || !c.isSpace() || !value.isEmpty())
            value += c;
    }
    return value.trimmed();
}

} // namespace

PortsFileContents ParsePortsFile(const QByteArray &text) {
    PortsFileContents contents;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8(text);
    if (utf8.hasError() || text.contains('\0')) {
        contents.problems << QStringLiteral("is not a text file: nothing in it is used, and new "
                                            "COM numbers are not kept in it");
        contents.usable = false;
        return contents;
    }
    std::map<int, QString> problems; // by line, each said once
    const auto problem = [&](int line, const QString &written, const QString &why) {
        problems.emplace(line, QStringLiteral("line %1, \"%2\": %3").arg(line).arg(written, why));
    };
    enum class Section { None, Ports, Other } section = Section::None;
    std::map<QString, int> numberOf; // identity -> the number it is kept under
    const QStringList lines = decoded.split(QLatin1Char('\n'));
    for (int index = 0; index < lines.size(); ++index) {
        const int line = index + 1;
        const QString written = lines[index].trimmed();
        if (written.isEmpty() || written.startsWith(QLatin1Char(';')) ||
            written.startsWith(QLatin1Char('#')))
            continue;
        if (written.startsWith(QLatin1Char('['))) {
            const bool ports = written.compare(QLatin1String("[ports]"), Qt::CaseInsensitive) == 0;
            section = ports ? Section::Ports : Section::Other;
            if (!ports)
                problem(line, written,
                        QStringLiteral("not used: only the [ports] section is read, and none of "
                                       "the lines under this one"));
            continue;
        }
        // Under another section's name: named with it.
        if (section == Section::Other)
            continue;
        const qsizetype equals = written.indexOf(QLatin1Char('='));
        const QString key = written.left(equals).trimmed();
        if (equals < 0) {
            problem(line, written, QStringLiteral("not used: it has no \"=\""));
            contents.rewritable = false;
            continue;
        }
        if (section == Section::None) {
            problem(line, written, QStringLiteral("not used: it is outside the [ports] section"));
            continue;
        }
        const int number = numberOfKey(key);
        const QString identity = valueOf(written.mid(equals + 1));
        if (key.isEmpty()) {
            problem(line, written, QStringLiteral("not used: no COM number before the \"=\""));
        } else if (number == 0) {
            problem(line, written,
                    QStringLiteral("not used: \"%1\" is no COM number (COM1 to COM%2)")
                        .arg(key)
                        .arg(ComPortCount));
        } else if (number > ComPortCount) {
            problem(line, written,
                    QStringLiteral("not used: COM numbers run from 1 to %1").arg(ComPortCount));
        } else if (contents.numbers.count(number)) {
            problem(line, written,
                    QStringLiteral("not used: COM%1 is kept on line %2 already")
                        .arg(number)
                        .arg(contents.lines[number]));
            continue;
        } else if (CanonicalIdentity(identity).isEmpty()) {
            problem(line, written,
                    QStringLiteral("not used: it names no port (a by-id name, "
                                   "usb:vvvv:pppp:serial, or a device path)"));
        }
        if (number == 0 || identity.isEmpty() || contents.numbers.count(number))
            continue;
        contents.numbers[number] = identity;
        contents.lines[number] = line;
    }
    // One number per identity: the lowest, when a hand has written more.
    for (const auto &[number, identity] : contents.numbers) {
        const QString canonical = CanonicalIdentity(identity);
        if (canonical.isEmpty() || number > ComPortCount)
            continue;
        const auto [first, added] = numberOf.emplace(canonical, number);
        if (!added)
            problem(contents.lines[number], lines[contents.lines[number] - 1].trimmed(),
                    QStringLiteral("not used: %1 keeps COM%2 (line %3)")
                        .arg(identity)
                        .arg(first->second)
                        .arg(contents.lines[first->second]));
    }
    for (const auto &[line, text] : problems)
        contents.problems << text;
    return contents;
}

PortStore::PortStore(QString fileName) : fileName_(std::move(fileName)) {}

PortsFileContents PortStore::read() const {
    if (fileName_.isEmpty())
        return {};
    // Ten lines of a person's writing: a FIFO, a device or a file of endless size is named, and
    // the run goes on without it.
    const BoundedFile file = ReadBoundedFile(fileName_, PortsFileBound);
    if (!file.exists)
        return {};
    PortsFileContents contents;
    if (!file.read()) {
        contents.problems << QStringLiteral("cannot be read (%1): the COM numbers kept in it are "
                                            "not used, and new ones are not kept")
                                 .arg(file.problem);
        contents.usable = false;
    } else {
        contents = ParsePortsFile(file.content);
    }
    for (QString &problem : contents.problems)
        problem = QStringLiteral("\"%1\" %2").arg(fileName_, problem);
    return contents;
}

ComPortMap PortStore::assign(const std::vector<PresentPort> &present,
                             const ComOverrides &overrides) {
    QMutexLocker guard(&mutex_);
    PortsFileContents kept = read();
    ComNumbering numbering = AssignComNumbers(present, kept.numbers, overrides);
    const auto done = [&] {
        for (const QString &problem : kept.problems)
            numbering.map.addProblem(problem);
        for (const auto &[number, why] : numbering.conflicts)
            numbering.map.addProblem(QStringLiteral("\"%1\" line %2, \"COM%3=%4\": not used: %5")
                                         .arg(fileName_)
                                         .arg(kept.lines[number])
                                         .arg(number)
                                         .arg(kept.numbers[number], why));
        return numbering.map;
    };
    if ((numbering.added.empty() && numbering.dropped.empty()) || !kept.usable)
        return done();

    const auto unkept = [&](const QString &why) {
        numbering.map.setKeepError(
            QStringLiteral("COM numbers not kept in \"%1\": %2").arg(fileName_, why));
        return done();
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
    kept = read();
    numbering = AssignComNumbers(present, kept.numbers, overrides);
    if (!kept.usable)
        return done();
    if (!kept.rewritable)
        return unkept(QStringLiteral("writing it would lose its lines without \"=\""));
    QSettings settings(fileName_, QSettings::IniFormat);
    // A file with lines the settings cannot read would lose them on writing: it is left alone.
    if (settings.status() != QSettings::NoError)
        return unkept(QStringLiteral("it cannot be read as it is"));

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
    // The settings write the lines in an order of their own: what cannot be used is named on the
    // line where it stands now.
    kept = read();
    numbering = AssignComNumbers(present, kept.numbers, overrides);
    return done();
}
