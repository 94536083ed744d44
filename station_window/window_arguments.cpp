#include "station_window/window_arguments.h"

#include "station/exit_code.h"
#include "station/lot.h"
#include "station/station_arguments.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

WindowArguments fail(const QString &what) {
    WindowArguments result;
    result.action = WindowArguments::Action::Exit;
    result.exitCode = int(ExitCode::Usage);
    result.message = QStringLiteral("torvane-station: %1\nTry 'torvane-station --help' for more "
                                    "information.")
                         .arg(what);
    return result;
}

// The usage, its last line naming what may stand beside a recipe: `beside`.
QString usage(const QList<QCommandLineOption> &beside) {
    QString besideUsage;
    for (const QCommandLineOption &option : beside)
        besideUsage +=
            QStringLiteral(" [--%1%2]")
                .arg(option.names().constLast(), option.valueName().isEmpty()
                                                     ? QString()
                                                     : QLatin1Char(' ') + option.valueName());
    return QStringLiteral(
               "The production station's window: one job on many boards at once, one row each.\n"
               "Without arguments it opens empty; with the command line's station arguments it "
               "opens\n"
               "filled in. Nothing starts until Start (F5).\n"
               "\n"
               "  torvane-station download KIND FILE --port PORT [--port PORT ...] [--report "
               "FILE]\n"
               "        [--watch]      KIND: software, data, default, loader, all\n"
               "  torvane-station upload KIND 'FILE-{port}.bin' --port PORT ... [--overwrite]\n"
               "        [--report FILE] [--watch]      KIND: software, data, default\n"
               "  torvane-station STEP [--then STEP ...] --port PORT ...\n"
               "        a job: each STEP (download|upload|verify KIND FILE [--expect-sha256 HEX]) "
               "in\n"
               "        order on each board\n"
               "  torvane-station --recipe FILE%1\n"
               "\n"
               "The options are torvane-cli's for a station, and a recipe holds them as "
               "torvane-cli's\n"
               "does: see torvane-cli --help.\n"
               "\n"
               "F5 starts, F6 runs again the boards that failed (or the rows selected), Escape "
               "stops.")
        .arg(besideUsage);
}

} // namespace

WindowArguments ParseWindowArguments(const QStringList &arguments) {
    QCommandLineParser parser;
    StationOptions options;
    const QCommandLineOption quietOption(
        QStringLiteral("quiet"),
        QStringLiteral("No sound when a board fails or a batch ends (the Sound box unchecked)."));
    // What may stand beside --recipe here: the operator's options and the window's own --quiet.
    const QList<QCommandLineOption> beside = options.operatorLevel() + QList{quietOption};
    parser.setApplicationDescription(usage(beside));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // Not addHelpOption(): its --help-all would want the toolkit, which --help does without.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Displays help on commandline options."));
    parser.addOption(helpOption);
    const QCommandLineOption versionOption = parser.addVersionOption();
    options.watch.setDescription(QStringLiteral(
        "Keeps watching: each time a port matching a --port appears, the operation runs on it "
        "once. Stop (Escape) ends it."));
    // The window prints nothing: its trace is read in a row's detail.
    options.trace.setDescription(QStringLiteral(
        "Keeps each board's frames and blocks, with times, for its detail (a double-click or "
        "Enter on its row): the Trace box checked."));
    options.recipe.setDescription(
        QStringLiteral("Takes the operation and the options from FILE, one to a line; only %1 "
                       "may be added.")
            .arg(OptionNames(beside)));
    parser.addOptions(options.all());
    parser.addOption(quietOption);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("download, upload or verify"));
    parser.addPositionalArgument(QStringLiteral("KIND"), QStringLiteral("The image kind."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The image file."));

    if (!parser.parse(arguments))
        return fail(parser.errorText());
    WindowArguments result;
    if (parser.isSet(helpOption) || parser.isSet(versionOption)) {
        result.action = WindowArguments::Action::Exit;
        result.message =
            parser.isSet(helpOption)
                ? HelpNamingProgram(parser.helpText(), QStringLiteral("torvane-station"))
                : QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                QCoreApplication::applicationVersion());
        return result;
    }
    result.quiet = parser.isSet(quietOption);
    QStringList given = arguments;
    if (const QString error =
            ApplyRecipe(parser, options, &given, &result.recipe, QList{quietOption});
        !error.isEmpty())
        return fail(error);
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        // An empty window may still be given the operator's own: the lot, the trace.
        for (const QCommandLineOption &option : options.all()) {
            if (parser.isSet(option) && !AmongOptions(option, options.operatorLevel()))
                return fail(QStringLiteral(
                    "expected: download|upload|verify KIND FILE before the options"));
        }
        result.station.lot = parser.value(options.lot);
        result.station.trace = parser.isSet(options.trace);
        if (const QString why = LotNameProblem(result.station.lot);
            !result.station.lot.isEmpty() && !why.isEmpty())
            return fail(QStringLiteral("--lot %1: %2").arg(result.station.lot, why));
        result.filled = parser.isSet(options.lot) || parser.isSet(options.trace);
        return result;
    }
    if (const QString error = ReadStationArguments(parser, options, given, false, &result.station);
        !error.isEmpty())
        return fail(result.recipe.isEmpty() ? error
                                            : QStringLiteral("%1: %2").arg(result.recipe, error));
    result.filled = true;
    return result;
}
