#pragma once

#include "station/station_options.h"
#include "station/station_plan.h"

#include <QString>
#include <QStringList>

// A recipe is a station's set-up kept in a text file by the line's engineer: the station's
// arguments one to a line, each step of the job in order (`download data /srv/img/data.bin`,
// with its own options after its file) or an option with its value (`--port COM.01`), `#`
// starting a comment. A word with spaces is written in double quotes, in which \" and \\ stand
// for " and \.

// The most a recipe may hold: a set-up, not data.
inline constexpr qint64 MaxRecipeBytes = 64 * 1024;

struct RecipeRead {
    QStringList arguments; // as a command line gives them, without the program's name
    QString error;         // what is wrong, naming the file and the line; empty when sound
};

// Reads the recipe at `path` (a regular file of text, at most MaxRecipeBytes, read without
// waiting on anything) and checks each line against `options`: at least one step, options the
// station knows, each with its value, one to a line; an option that takes one value given once
// (a step's own, once for its step). The arguments have --then ahead of every step but the first.
RecipeRead ReadRecipe(const QString &path, const StationOptions &options);

// The recipe of `plan`, with a comment above saying what made it.
QString RecipeText(const StationPlan &plan);

// Saves `plan` as a recipe at `path`, whole or not at all. Its files, and its ports given as
// paths, are kept whole (from the current folder), so that the recipe runs the same from any
// folder; a port's name the tool looks up (COM.03, COM.*, a by-id name) stays as it is. The
// image of each download and read-back is checked as a run checks it, and its SHA-256 goes
// into the recipe as the step's --expect-sha256. Empty, or what went wrong.
QString SaveRecipe(const QString &path, StationPlan plan);
