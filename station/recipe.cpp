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
    int operationLine = 0;
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
            if (operationLine)
                return fail(QStringLiteral("a second operation: line %1 has one already")
                                .arg(operationLine));
            if (words.size() != 3)
                return fail(QStringLiteral("the operation is download|upload KIND FILE (a FILE "
                                           "with spaces in double quotes)"));
            StationPlan plan;
            if (const QString bad = ReadOperation(words, &plan); !bad.isEmpty())
                return fail(bad);
            operationLine = n;
            read.arguments << words;
            continue;
        }
        const QString option = words[0].section(QLatin1Char('='), 0, 0);
        if (options.recipe.names().contains(
                option.mid(option.startsWith(QLatin1String("--")) ? 2 : 1)))
            return fail(QStringLiteral("a recipe does not name another recipe"));
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
    if (!operationLine) {
        read.error =
            QStringLiteral("%1: no operation in it (a line download|upload KIND FILE)").arg(name);
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
    for (QString *file :
         {&plan->file, &plan->report, &plan->publish.passwordFile, &plan->publish.caFile,
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

QString SaveRecipe(const QString &path, StationPlan plan) {
    // A recipe is run from other folders, and by a service that has a folder of its own.
    if (const QString why = holdFromHere(&plan); !why.isEmpty())
        return why;
    if (!IsUpload(plan.mode)) {
        const HeldImage image = HoldImageFile(plan.file, plan.mode);
        if (!image.held()) {
            QString why =
                image.refusal ? QLatin1String(FileRefusalText(*image.refusal)) : QString();
            if (!image.error.isEmpty())
                why += (why.isEmpty() ? QString() : QStringLiteral(": ")) + image.error;
            // The reason names the file when it is not there.
            return why.contains(plan.file)
                       ? QStringLiteral("the image is refused: %1").arg(why)
                       : QStringLiteral("the image %1 is refused: %2").arg(plan.file, why);
        }
        const QString sha256 = QString::fromLatin1(
            QCryptographicHash::hash(*image.bytes, QCryptographicHash::Sha256).toHex());
        if (!plan.expectSha256.isEmpty() && plan.expectSha256.toLower() != sha256)
            return QStringLiteral("the image %1 is not the one expected: its SHA-256 is %2, not "
                                  "%3")
                .arg(plan.file, sha256, plan.expectSha256.toLower());
        plan.expectSha256 = sha256;
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
