#pragma once

#include "station/station_options.h"
#include "station/station_plan.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineParser;

// Qt's help text begins "Usage: " and the path the program was started by: `program` instead.
QString HelpNamingProgram(const QString &help, const QString &program);

// Reads the job's steps from `arguments` (the program's name first, as a parser took them): the
// words of each (COMMAND KIND FILE) and the step's own options that follow them, up to the next
// --then; the options before the first --then are the first step's. Empty when they are sound,
// else what was wrong.
QString ReadSteps(const QStringList &arguments, const StationOptions &options,
                  QList<JobStep> *steps);

// Reads the steps from `arguments` (the program's name first) and the station's options from
// `parser`, which has parsed them; empty when they are sound, else what was wrong.
// `portRequired`: no --port is an error (a window lets the operator choose them).
QString ReadStationArguments(const QCommandLineParser &parser, const StationOptions &options,
                             const QStringList &arguments, bool portRequired, StationPlan *into);

// What is wrong with `command`, a program and its arguments as --on-board-end takes them: no
// program, or none this user may run (by its whole path, or a name on PATH). Empty when sound.
QString ProgramProblem(const QString &command);

// Whether `option` is one of `options`.
bool AmongOptions(const QCommandLineOption &option, const QList<QCommandLineOption> &options);

// The options' names as a sentence lists them: "--lot, --trace and --watch".
QString OptionNames(const QList<QCommandLineOption> &options);

// With --recipe FILE, reads `parser` again from the recipe's arguments followed by those given
// beside it (`arguments`, the program's name first, which become these), which may only be the
// operator's options and the front end's own (`own`, named with them when anything else is
// given): the recipe holds the set-up, and the operator's --lot replaces the recipe's. Empty when
// sound or no recipe was asked for, else what was wrong. `recipe` is the recipe's file, or empty.
QString ApplyRecipe(QCommandLineParser &parser, const StationOptions &options,
                    QStringList *arguments, QString *recipe,
                    const QList<QCommandLineOption> &own = {});

// The plan as a recipe holds it, a line each: each step's words with its own options, in order,
// then each option with its value.
QList<QStringList> PlanArguments(const StationPlan &plan);
