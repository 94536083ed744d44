#include "station/station_arguments.h"

#include "station/board_record.h"
#include "station/plan_rules.h"
#include "station/port_file_name.h"
#include "station/recipe.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>

#include <algorithm>

namespace {

QString optionName(const QCommandLineOption &option) {
    return QStringLiteral("--") + option.names().constLast();
}

// The plan's rules, worded for a command line.
QString problemText(const PlanProblem &problem) {
    using K = PlanProblem::Kind;
    switch (problem.kind) {
    case K::NoFile:
        return QStringLiteral("expected: download|upload|verify KIND FILE");
    case K::NoPorts:
        return QStringLiteral("--port PORT is required");
    case K::UnknownPort:
        return QStringLiteral("unknown port '%1': COM.01 ... COM.10, a device path or a "
                              "/dev/serial/by-id name")
            .arg(problem.port);
    case K::BadPortName:
        return QStringLiteral("--port %1").arg(problem.detail);
    case K::PatternWithoutWatch:
        return QStringLiteral("--port %1 is a pattern: add --watch to serve the ports that match "
                              "it as they appear")
            .arg(problem.port);
    case K::PortTwice:
        return QStringLiteral("--port %1 is given twice: one device, one owner").arg(problem.port);
    case K::UploadNeedsPortName:
        return QStringLiteral("with several ports the upload file needs %1 in its name, e.g. "
                              "back-%1.bin: each device's image goes to a file of its own")
            .arg(QLatin1String(PortPlaceholder));
    case K::OverwriteForDownload:
        return QStringLiteral("--overwrite applies to uploads only");
    case K::ExpectedHashForUpload:
        return QStringLiteral("--expect-sha256 applies to downloads and read-backs only: an "
                              "upload's image is judged by its checksums");
    case K::BadExpectedHash:
        return QStringLiteral("--expect-sha256 takes the image's SHA-256, 64 hexadecimal "
                              "digits, not '%1'")
            .arg(problem.detail);
    case K::BadLotName:
        return QStringLiteral("--lot: %1").arg(problem.detail);
    case K::RetriesOutOfRange:
        return QStringLiteral("--retries takes a number from 0 to %1, not '%2'")
            .arg(MaxRetries)
            .arg(problem.detail);
    }
    return {};
}

// The plan's rules, worded for a command line; a step's problem in a job of several names it.
QString argumentsText(const PlanProblem &problem, const StationPlan &plan) {
    const QString text = problemText(problem);
    if (problem.step <= 0 || plan.steps.size() < 2)
        return text;
    return QStringLiteral("step %1 (%2): %3")
        .arg(problem.step)
        .arg(StepName(plan.steps.value(problem.step - 1)), text);
}

// An argument of a step's segment: an option (with its value, where it takes one) or a word.
struct Argument {
    const QCommandLineOption *option = nullptr; // null for a word, or an option the station lacks
    QString value;
    QString word;
};

// The arguments of one segment, in order, each option with its value.
QList<Argument> segmentArguments(const QStringList &segment,
                                 const QList<QCommandLineOption> &options) {
    QList<Argument> arguments;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < segment.size(); ++i) {
        const QString &text = segment[i];
        if (optionsEnded || text.size() < 2 || !text.startsWith(QLatin1Char('-'))) {
            arguments.push_back({nullptr, {}, text});
            continue;
        }
        if (text == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        const QString name = text.mid(text.startsWith(QLatin1String("--")) ? 2 : 1);
        const qsizetype equals = name.indexOf(QLatin1Char('='));
        Argument argument;
        for (const QCommandLineOption &option : options) {
            if (option.names().contains(equals < 0 ? name : name.left(equals)))
                argument.option = &option;
        }
        if (equals >= 0)
            argument.value = name.mid(equals + 1);
        else if (argument.option && !argument.option->valueName().isEmpty() &&
                 i + 1 < segment.size())
            argument.value = segment[++i];
        if (argument.option)
            arguments.push_back(argument);
    }
    return arguments;
}

bool isThen(const QString &argument) {
    return argument == QLatin1String("--then") || argument == QLatin1String("-then");
}

} // namespace

QString ReadSteps(const QStringList &arguments, const StationOptions &options,
                  QList<JobStep> *steps) {
    // Every option the parser knows, so that a value is never taken for a step's word.
    const QList<QCommandLineOption> known = options.all();
    QList<QStringList> segments{{}};
    for (const QString &argument : arguments.mid(1)) {
        if (isThen(argument))
            segments.push_back({});
        else
            segments.back() << argument;
    }
    steps->clear();
    for (qsizetype k = 0; k < segments.size(); ++k) {
        QStringList words;
        JobStep step;
        QStringList given; // the step's own options, once each
        for (const Argument &argument : segmentArguments(segments[k], known)) {
            if (!argument.option) {
                words << argument.word;
                continue;
            }
            if (!options.isStepLevel(*argument.option))
                continue;
            const QString name = optionName(*argument.option);
            if (given.contains(name))
                return QStringLiteral("%1 is given twice for step %2").arg(name).arg(k + 1);
            given << name;
            if (argument.value.isEmpty())
                return QStringLiteral("%1 needs a value").arg(name);
            if (argument.option->names() == options.expectSha256.names())
                step.expectSha256 = argument.value;
        }
        if (words.isEmpty())
            return k == 0 ? QStringLiteral("expected: download|upload|verify KIND FILE")
                          : QStringLiteral("--then needs a step after it: "
                                           "download|upload|verify KIND FILE");
        if (words.size() > 3)
            // The shell gave out an unquoted pattern's matches: --port took the first.
            return QStringLiteral("unexpected argument %1 after FILE: quote a pattern of "
                                  "ports ('board/tty*') or give --port before each port")
                .arg(words.value(3));
        if (const QString why = words.size() > 1 ? ReadStep(words, &step) : QString();
            !why.isEmpty())
            return why;
        if (words.size() < 3)
            return QStringLiteral("expected: download|upload|verify KIND FILE");
        steps->push_back(step);
    }
    return QString();
}

QString ReadStationArguments(const QCommandLineParser &parser, const StationOptions &options,
                             const QStringList &arguments, bool portRequired, StationPlan *into) {
    StationPlan &plan = *into;
    if (const QString why = ReadSteps(arguments, options, &plan.steps); !why.isEmpty())
        return why;
    if (portRequired && !parser.isSet(options.port))
        return argumentsText({PlanProblem::Kind::NoPorts, {}, {}}, plan);
    // A value given twice would have the last one win without a word: an image checked against
    // another SHA-256, records in another report. The operator's own may follow a recipe's; a
    // step's own options are each step's, and ReadSteps takes them once a step.
    for (const QCommandLineOption &option : options.all()) {
        if (!option.valueName().isEmpty() && !options.repeatable(option) &&
            !options.isStepLevel(option) && !AmongOptions(option, options.operatorLevel()) &&
            parser.values(option).size() > 1)
            return QStringLiteral("%1 is given twice (%2): give it once")
                .arg(optionName(option), parser.values(option).join(QStringLiteral(", ")));
    }
    plan.watch = parser.isSet(options.watch);
    plan.ports = parser.values(options.port);
    plan.overwrite = parser.isSet(options.overwrite);
    plan.trace = parser.isSet(options.trace);
    // An option given with nothing after its '=' would quietly mean none.
    for (const QCommandLineOption *named : {&options.report, &options.lot, &options.retries}) {
        if (parser.isSet(*named) && parser.value(*named).isEmpty())
            return QStringLiteral("%1 needs a value").arg(optionName(*named));
    }
    plan.report = parser.value(options.report);
    plan.lot = parser.value(options.lot);
    if (parser.isSet(options.retries)) {
        bool number = false;
        plan.retries = parser.value(options.retries).toInt(&number);
        if (!number)
            return argumentsText(
                {PlanProblem::Kind::RetriesOutOfRange, {}, parser.value(options.retries)}, plan);
    }
    if (const std::optional<PlanProblem> problem = CheckPlan(plan, false))
        return argumentsText(*problem, plan);
    for (const auto &[option, into] : {std::pair{&options.onBoardEnd, &plan.onBoardEnd},
                                       std::pair{&options.onBatchEnd, &plan.onBatchEnd}}) {
        *into = parser.value(*option);
        if (const QString why = ProgramProblem(*into); parser.isSet(*option) && !why.isEmpty())
            return QStringLiteral("%1 %2: %3").arg(optionName(*option), *into, why);
    }
    return ReadPublishArguments(parser, options.publishing, &plan.publish);
}

QString ProgramProblem(const QString &command) {
    const QStringList words = QProcess::splitCommand(command);
    if (words.isEmpty())
        return QStringLiteral("no program named");
    const QString &program = words.constFirst();
    // A station's service runs from a folder of its own.
    if (program.contains(QLatin1Char('/')) && QDir::isRelativePath(program))
        return QStringLiteral("give the program by its whole path, or by a name found on PATH");
    const QString found =
        program.contains(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
    const QFileInfo file(found);
    if (found.isEmpty() || !file.isFile() || !file.isExecutable())
        return QStringLiteral("%1 is no program this user may run").arg(program);
    return QString();
}

bool AmongOptions(const QCommandLineOption &option, const QList<QCommandLineOption> &options) {
    return std::any_of(options.begin(), options.end(),
                       [&](const QCommandLineOption &o) { return o.names() == option.names(); });
}

QString OptionNames(const QList<QCommandLineOption> &options) {
    QStringList names;
    for (const QCommandLineOption &option : options)
        names << optionName(option);
    const QString last = names.isEmpty() ? QString() : names.takeLast();
    return names.isEmpty() ? last
                           : names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

QString ApplyRecipe(QCommandLineParser &parser, const StationOptions &options,
                    QStringList *arguments, QString *recipe, const QList<QCommandLineOption> &own) {
    recipe->clear();
    if (!parser.isSet(options.recipe))
        return QString();
    const QStringList recipes = parser.values(options.recipe);
    if (recipes.size() > 1)
        return QStringLiteral("--recipe is given twice: one recipe sets a station up");
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("'%1' beside --recipe: the recipe holds the operation")
            .arg(parser.positionalArguments().constFirst());
    const QList<QCommandLineOption> beside = options.operatorLevel() + own;
    for (const QCommandLineOption &option : options.all()) {
        const bool allowed = options.outsideRecipes(option) || AmongOptions(option, beside);
        if (!allowed && parser.isSet(option))
            return QStringLiteral("%1 beside --recipe: the recipe holds the station's set-up; "
                                  "only %2 may be added")
                .arg(optionName(option), OptionNames(beside));
    }
    const RecipeRead read = ReadRecipe(recipes.constFirst(), options);
    if (!read.error.isEmpty())
        return read.error;
    // The recipe's arguments first: the operator's --lot, given later, is the one that stands.
    const QStringList given = *arguments;
    *arguments = QStringList{given.value(0)} + read.arguments + given.mid(1);
    if (!parser.parse(*arguments))
        return QStringLiteral("%1: %2").arg(recipes.constFirst(), parser.errorText());
    *recipe = recipes.constFirst();
    return QString();
}

QList<QStringList> PlanArguments(const StationPlan &plan) {
    QList<QStringList> lines;
    for (const JobStep &step : plan.steps) {
        lines << QStringList{CommandWord(step.command), KindWord(step.mode), step.file};
        if (!step.expectSha256.isEmpty())
            lines.back() << QStringLiteral("--expect-sha256") << step.expectSha256;
    }
    for (const QString &port : plan.ports)
        lines << QStringList{QStringLiteral("--port"), port};
    const auto flag = [&lines](bool set, const char *name) {
        if (set)
            lines << QStringList{QLatin1String(name)};
    };
    const auto value = [&lines](const QString &text, const char *name) {
        if (!text.isEmpty())
            lines << QStringList{QLatin1String(name), text};
    };
    flag(plan.watch, "--watch");
    flag(plan.overwrite, "--overwrite");
    value(plan.report, "--report");
    value(plan.lot, "--lot");
    value(plan.retries > 0 ? QString::number(plan.retries) : QString(), "--retries");
    flag(plan.trace, "--trace");
    value(plan.onBoardEnd, "--on-board-end");
    value(plan.onBatchEnd, "--on-batch-end");
    // The password from the environment stays there: a recipe is no place for a secret.
    // So does the service's credential: it is the service's, wherever the recipe runs.
    if (plan.publish.enabled()) {
        value(plan.publish.broker.url(), "--publish");
        value(plan.publish.passwordCredential ? QString() : plan.publish.passwordFile,
              "--publish-password-file");
        value(plan.publish.caFile, "--publish-ca");
        value(plan.publish.certFile, "--publish-cert");
        value(plan.publish.keyFile, "--publish-key");
        value(plan.publish.station, "--station");
        value(plan.publish.outbox, "--outbox");
    } else if (plan.publish.station != QSysInfo::machineHostName()) {
        value(plan.publish.station, "--station");
    }
    return lines;
}

QString HelpNamingProgram(const QString &help, const QString &program) {
    QString text = help;
    const qsizetype options = text.indexOf(QLatin1String(" [options]"));
    if (text.startsWith(QLatin1String("Usage: ")) && options > 0)
        text.replace(0, options, QStringLiteral("Usage: ") + program);
    return text;
}
