#pragma once

#include "station/station_plan.h"

#include <QString>
#include <QStringList>

// What the window's command line asks: nothing (an empty window), or the command line's station
// arguments to fill it in with; or help, the version, or a usage error to print.
struct WindowArguments {
    enum class Action { Show, Exit };
    Action action = Action::Show;
    int exitCode = 0;
    QString message;
    bool filled = false;
    StationPlan station;
    QString recipe;     // the recipe the set-up came from (--recipe); empty for the arguments' own
    bool quiet = false; // no sounds
};

// Reads the arguments (the program name first). Never exits the process.
WindowArguments ParseWindowArguments(const QStringList &arguments);
