#pragma once

#include "link/transfer_mode.h"
#include "plant/publish_settings.h"
#include "station/publish_arguments.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineParser;

// What the operator asks the station for: one operation, on which ports.
struct StationPlan {
    TransferMode mode = TransferMode::DownloadSoftware;
    // The download file, or the upload file, in which `{port}` stands for each port's own.
    QString file;
    QStringList ports; // as the operator named them; for a watch, patterns too
    bool watch = false;
    bool overwrite = false;
    bool trace = false;
    QString report; // where each board's record is appended; empty for none
    // The download image's SHA-256 in hexadecimal, as given: a file that differs is refused
    // before any board starts. Empty: any image of the mode's size.
    QString expectSha256;
    QString lot;             // the lot each board is counted in; empty for none
    int retries = 0;         // further attempts for a board whose failure trying again may cure
    PublishSettings publish; // the plant's broker the records go to; none when not enabled
};

// The options every front end of the station takes, each of which a recipe may hold too.
struct StationOptions {
    StationOptions();
    // Every one, --recipe last.
    QList<QCommandLineOption> all() const {
        return QList<QCommandLineOption>{port,  overwrite,    report, watch,
                                         trace, expectSha256, lot,    retries} +
               publishing.all() + QList<QCommandLineOption>{recipe};
    }
    // Those that may be added beside a recipe: the operator's lot and trace, and --watch, which
    // runs whatever recipe it is given as a watch (as a station's service does). The rest is the
    // recipe's set-up.
    QList<QCommandLineOption> operatorLevel() const { return {lot, trace, watch}; }
    // Those given on a command line but never in a recipe.
    bool outsideRecipes(const QCommandLineOption &option) const {
        return option.names() == recipe.names();
    }
    // Those that may be given more than once.
    bool repeatable(const QCommandLineOption &option) const {
        return option.names() == port.names();
    }

    QCommandLineOption port;
    QCommandLineOption overwrite;
    QCommandLineOption report;
    QCommandLineOption watch;
    QCommandLineOption trace;
    QCommandLineOption expectSha256;
    QCommandLineOption lot;
    QCommandLineOption retries;
    QCommandLineOption recipe;
    PublishOptions publishing;
};

// Qt's help text begins "Usage: " and the path the program was started by: `program` instead.
QString HelpNamingProgram(const QString &help, const QString &program);

// Reads the operation's three words (direction, KIND, FILE) into `into`; empty when they are
// sound, else what was wrong.
QString ReadOperation(const QStringList &operation, StationPlan *into);

// The operation's words: "download", "data".
QString DirectionWord(TransferMode mode);
QString KindWord(TransferMode mode);

// Reads `operation` (direction, KIND, FILE: three words) and the station's options from
// `parser`; empty when they are sound, else what was wrong. `portRequired`: no --port is an
// error (a window lets the operator choose them).
QString ReadStationArguments(const QCommandLineParser &parser, const StationOptions &options,
                             const QStringList &operation, bool portRequired, StationPlan *into);

// Whether `option` is one of `options`.
bool AmongOptions(const QCommandLineOption &option, const QList<QCommandLineOption> &options);

// The options' names as a sentence lists them: "--lot, --trace and --watch".
QString OptionNames(const QList<QCommandLineOption> &options);

// With --recipe FILE, reads `parser` again from the recipe's arguments followed by those given
// beside it (`arguments`, the program's name first), which may only be the operator's options
// and the front end's own (`own`, named with them when anything else is given): the recipe holds
// the set-up, and the operator's --lot replaces the recipe's. Empty when sound or no recipe was
// asked for, else what was wrong. `recipe` is the recipe's file, or empty.
QString ApplyRecipe(QCommandLineParser &parser, const StationOptions &options,
                    const QStringList &arguments, QString *recipe,
                    const QList<QCommandLineOption> &own = {});

// The plan as a command line takes it, one argument a line: the operation's three words, then
// each option with its value.
QList<QStringList> PlanArguments(const StationPlan &plan);
