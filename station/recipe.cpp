#include "station/recipe.h"

#include "base/bounded_file.h"
#include "base/whole_file_save.h"
#include "ops/file_check.h"
#include "ports/port_names.h"
#include "station/held_image.h"
#include "station/station_arguments.h"

#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>

#include <cerrno>
#include <map>

namespace {

// The words of a line, up to a comment; false with the reason for a quote left open.
bool splitLine(const QString &line, QStringList *words, QString *why) {
    QString word;
    bool inWord = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c.isSpace()) {
            if (inWord)
                *words << word;
            word.clear();
            inWord = false;
        } else if (c == QLatin1Char('#') && !inWord) {
            break;
        } else if (c == QLatin1Char('"')) {
            inWord = true;
            for (++i;; ++i) {
                if (i >= line.size()) {
                    *why = QStringLiteral("a quote is not closed");
                    return false;
                }
                if (line[i] == QLatin1Char('"'))
                    break;
                if (line[i] == QLatin1Char('\\') && i + 1 < line.size() &&
                    (line[i + 1] == QLatin1Char('"') || line[i + 1] == QLatin1Char('\\')))
                    ++i;
                word += line[i];
            }
        } else {
            inWord = true;
            word += c;
        }
    }
    if (inWord)
        *words << word;
    return true;
}

QString quoted(const QString &word) {
    const bool plain = !word.isEmpty() && !word.startsWith(QLatin1Char('#')) &&
                       std::none_of(word.begin(), word.end(),
                                    [](QChar c) { return c.isSpace() || c == QLatin1Char('"'); });
    if (plain)
        return word;
    QString text = word;
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), "\\\"");
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// A step's line: COMMAND KIND FILE, then the step's own options with their values. Its words as
// a command line gives them, --then ahead of every step but the first; else empty, with the
// reason in *why.
QStringList stepLine(const QStringList &words, bool first, const StationOptions &options,
                     QString *why) {
    JobStep step;
    if (words.size() < 3) {
        *why = QStringLiteral("a step is COMMAND KIND FILE (a FILE with spaces in double quotes), "
                              "its own options after it");
        return {};
    }
    if (const QString bad = ReadStep(words.mid(0, 3), &step); !bad.isEmpty()) {
        *why = bad;
        return {};
    }
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(options.stepLevel());
    if (!parser.parse(QStringList{QStringLiteral("recipe")} + words.mid(3)) ||
        !parser.positionalArguments().isEmpty()) {
        *why = QStringLiteral("after a step's FILE only its own options may follow (%1)")
                   .arg(OptionNames(options.stepLevel()));
        return {};
    }
    return first ? words : QStringList{QStringLiteral("--then")} + words;
}

// Checks each line of `text`, the recipe `name`, against the station's options.
RecipeRead readText(const QString &name, const QString &text, const StationOptions &options) {
    RecipeRead read;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QList<QCommandLineOption> allowed;
    for (const QCommandLineOption &option : options.all()) {
        if (!options.outsideRecipes(option))
            allowed << option;
    }
    parser.addOptions(allowed);
    std::map<QString, int> given; // a single-valued option -> the line it is on
    int steps = 0;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int n = 1; n <= lines.size(); ++n) {
        QString line = lines[n - 1];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const auto fail = [&](const QString &why) {
            read.error = QStringLiteral("%1:%2: %3").arg(name).arg(n).arg(why);
            read.arguments.clear();
            return read;
        };
        QStringList words;
        QString why;
        if (!splitLine(line, &words, &why))
            return fail(why);
        if (words.isEmpty())
            continue;
        if (!words[0].startsWith(QLatin1Char('-'))) {
            const QStringList step = stepLine(words, steps == 0, options, &why);
            if (step.isEmpty())
                return fail(why);
            // A step's own options are once each for that step.
            for (const QCommandLineOption &own : options.stepLevel())
                given.erase(own.names().constLast());
            ++steps;
            read.arguments << step;
            continue;
        }
        const QString option = words[0].section(QLatin1Char('='), 0, 0);
        const QString bare = option.mid(option.startsWith(QLatin1String("--")) ? 2 : 1);
        if (options.recipe.names().contains(bare))
            return fail(QStringLiteral("a recipe does not name another recipe"));
        if (options.then.names().contains(bare))
            return fail(QStringLiteral("a recipe's steps are its lines, one a line, in order: "
                                       "no --then"));
        if (!parser.parse(QStringList{QStringLiteral("recipe")} + words))
            return fail(parser.errorText());
        if (!parser.positionalArguments().isEmpty())
            return fail(QStringLiteral("'%1' after %2: one option a line, with its value (a "
                                       "value with spaces in double quotes)")
                            .arg(parser.positionalArguments().constFirst(), option));
        if (parser.optionNames().size() != 1)
            return fail(QStringLiteral("one option a line"));
        for (const QCommandLineOption &known : allowed) {
            if (!parser.isSet(known) || options.repeatable(known))
                continue;
            const auto [it, first] = given.emplace(known.names().constLast(), n);
            if (!first)
                return fail(QStringLiteral("--%1 is given on line %2 already")
                                .arg(known.names().constLast())
                                .arg(it->second));
        }
        read.arguments << words;
    }
    if (steps == 0) {
        read.error =
            QStringLiteral("%1: no step in it (a line download|upload|verify KIND FILE)").arg(name);
        read.arguments.clear();
    }
    return read;
}

// A relative path made whole: the folder it starts from, and its steps after it ("." dropped,
// the last one the path's own name). Without "..", the working folder as the system gives it
// (without links) and every step. A ".." leads up from where a link points, not from the folder
// that holds the link, and out of the working folder, which may be gone when the recipe runs: so
// the folder before the last name is the one it leads to now, as the system names it, or the
// part of it that is there. The last name stays as typed: a port's is often a link (board/tty0),
// which must stay a link's name.
struct WholePath {
    QString folder;
    QStringList steps;
};

WholePath wholeFrom(const QString &path) {
    WholePath whole{QDir::currentPath(), {}};
    for (const QString &step : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (step != QLatin1String("."))
            whole.steps << step;
    }
    if (!whole.steps.contains(QLatin1String("..")))
        return whole;
    // A last name of ".." is a folder's, and is resolved with it.
    qsizetype folderSteps =
        whole.steps.size() - (whole.steps.last() == QLatin1String("..") ? 0 : 1);
    for (; folderSteps > 0; --folderSteps) {
        const QString canonical =
            QFileInfo(whole.folder + QLatin1Char('/') + whole.steps.mid(0, folderSteps).join('/'))
                .canonicalFilePath();
        if (!canonical.isEmpty()) {
            whole.folder = canonical;
            whole.steps.remove(0, folderSteps);
            break;
        }
    }
    return whole;
}

QString joined(const WholePath &whole) {
    QString text = whole.folder;
    for (const QString &step : whole.steps)
        text += (text.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + step;
    return text;
}

// `path` as the tool opens it from the current folder, whatever folder the recipe is run from
// later, and whether or not the current folder is still there then.
QString fromHere(const QString &path) {
    if (path.isEmpty() || !QDir::isRelativePath(path))
        return path;
    return joined(wholeFrom(path));
}

// Every file of `plan` (the image, the report, the publisher's) and every port given as a path,
// as the tool opens them from here. A port's name without a '/' (a COM number or pattern, a
// by-id name) stays as it is: the tool looks it up wherever it runs. Empty, or what is wrong.
QString holdFromHere(StationPlan *plan) {
    for (JobStep &step : plan->steps)
        step.file = fromHere(step.file);
    for (QString *file : {&plan->report, &plan->publish.passwordFile, &plan->publish.caFile,
                          &plan->publish.certFile, &plan->publish.keyFile, &plan->publish.outbox})
        *file = fromHere(*file);
    for (QString &port : plan->ports) {
        if (!port.contains(QLatin1Char('/')) || !QDir::isRelativePath(port))
            continue;
        const WholePath whole = wholeFrom(port);
        // A name with * ? [ in it is a pattern, and so would the folder's name make this one.
        if (IsPortPattern(whole.folder))
            return QStringLiteral("the port %1 cannot be kept in a recipe: its whole path, "
                                  "from %2, holds *, ? or [, which a recipe reads as a pattern")
                .arg(port, whole.folder);
        port = joined(whole);
    }
    return QString();
}

} // namespace

RecipeRead ReadRecipe(const QString &path, const StationOptions &options) {
    const BoundedFile file = ReadBoundedFile(path, MaxRecipeBytes);
    if (!file.read())
        return {{},
                QStringLiteral("recipe: %1 cannot be read (%2)")
                    .arg(path, file.exists ? file.problem : qt_error_string(ENOENT))};
    QByteArray bytes = file.content;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    if (utf8.hasError() || bytes.contains('\0'))
        return {{}, QStringLiteral("recipe: %1 is not text").arg(path)};
    return readText(path, text, options);
}

QString RecipeText(const StationPlan &plan) {
    QString text = QStringLiteral("# A station's recipe, saved %1: one argument a line, as "
                                  "torvane-cli and torvane-station take them.\n")
                       .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    for (const QStringList &line : PlanArguments(plan)) {
        QStringList words;
        for (const QString &word : line)
            words << quoted(word);
        text += words.join(QLatin1Char(' ')) + QLatin1Char('\n');
    }
    return text;
}

namespace {

// Holds the image of a download's or a read-back's step as a run would, and puts its SHA-256
// into the step; empty, or why it is refused.
QString hashImage(JobStep *step) {
    const HeldImage image = HoldImageFile(step->file, step->mode);
    if (!image.held()) {
        QString why = image.refusal ? QLatin1String(FileRefusalText(*image.refusal)) : QString();
        if (!image.error.isEmpty())
            why += (why.isEmpty() ? QString() : QStringLiteral(": ")) + image.error;
        // The reason names the file when it is not there.
        return why.contains(step->file)
                   ? QStringLiteral("the image is refused: %1").arg(why)
                   : QStringLiteral("the image %1 is refused: %2").arg(step->file, why);
    }
    const QString sha256 = QString::fromLatin1(
        QCryptographicHash::hash(*image.bytes, QCryptographicHash::Sha256).toHex());
    if (!step->expectSha256.isEmpty() && step->expectSha256.toLower() != sha256)
        return QStringLiteral("the image %1 is not the one expected: its SHA-256 is %2, not %3")
            .arg(step->file, sha256, step->expectSha256.toLower());
    step->expectSha256 = sha256;
    return QString();
}

} // namespace

QString SaveRecipe(const QString &path, StationPlan plan) {
    // A recipe is run from other folders, and by a service that has a folder of its own.
    if (const QString why = holdFromHere(&plan); !why.isEmpty())
        return why;
    for (int k = 0; k < plan.steps.size(); ++k) {
        JobStep &step = plan.steps[k];
        if (!step.holdsImage())
            continue;
        if (const QString why = hashImage(&step); !why.isEmpty())
            return plan.steps.size() > 1
                       ? QStringLiteral("step %1 (%2): %3").arg(k + 1).arg(StepName(step), why)
                       : why;
    }
    for (const QStringList &line : PlanArguments(plan)) {
        for (const QString &word : line) {
            if (word.contains(QLatin1Char('\n')) || word.contains(QLatin1Char('\r')))
                return QStringLiteral("'%1' holds a line break, which a recipe cannot keep")
                    .arg(word.simplified());
        }
    }
    const QString text = RecipeText(plan);
    // What is saved reads back as it was meant: a recipe that would not run is not written.
    if (const RecipeRead back = readText(path, text, StationOptions()); !back.error.isEmpty())
        return back.error;
    const QByteArray bytes = text.toUtf8();
    QString why;
    if (SaveWholeFile(path, bytes.constData(), bytes.size(), ExistingFile::Replace, &why) !=
        Saved::Yes)
        return why;
    return QString();
}
