#pragma once

#include "station/publish_arguments.h"

#include <QCommandLineOption>
#include <QList>

#include <algorithm>

// The options every front end of the station takes, each of which a recipe may hold too.
struct StationOptions {
    StationOptions();
    // Every one, --then and --recipe last.
    QList<QCommandLineOption> all() const {
        return QList<QCommandLineOption>{port,  overwrite,    report, watch,
                                         trace, expectSha256, lot,    retries} +
               publishing.all() +
               QList<QCommandLineOption>{onBoardEnd, onBatchEnd, then, recipe};
    }
    // Those that belong to the step whose words they follow, up to the next --then; every other
    // option belongs to the whole run, wherever it stands.
    QList<QCommandLineOption> stepLevel() const { return {expectSha256}; }
    bool isStepLevel(const QCommandLineOption &option) const {
        const QList<QCommandLineOption> own = stepLevel();
        return std::any_of(own.begin(), own.end(), [&](const QCommandLineOption &o) {
            return o.names() == option.names();
        });
    }
    // Those that may be added beside a recipe: the operator's lot and trace, and --watch, which
    // runs whatever recipe it is given as a watch (as a station's service does). The rest is the
    // recipe's set-up.
    QList<QCommandLineOption> operatorLevel() const { return {lot, trace, watch}; }
    // Those given on a command line but never in a recipe: a recipe's steps are its lines.
    bool outsideRecipes(const QCommandLineOption &option) const {
        return option.names() == recipe.names() || option.names() == then.names();
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
    QCommandLineOption then;
    QCommandLineOption onBoardEnd;
    QCommandLineOption onBatchEnd;
    QCommandLineOption recipe;
    PublishOptions publishing;
};
