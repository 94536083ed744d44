#pragma once

#include "plant/publish_settings.h"
#include "station/job_step.h"

#include <QList>
#include <QString>
#include <QStringList>

// What the operator asks the station for: a job of one or more steps, on which ports.
struct StationPlan {
    // Each board's job, in order: one step for a run of one operation.
    QList<JobStep> steps;
    QStringList ports; // as the operator named them; for a watch, patterns too
    bool watch = false;
    bool overwrite = false;
    bool trace = false;
    QString report;          // where each board's record is appended; empty for none
    QString lot;             // the lot each board is counted in; empty for none
    int retries = 0;         // further attempts for a board whose failure trying again may cure
    PublishSettings publish; // the plant's broker the records go to; none when not enabled
    // The programs run as each board ends and as the batch ends, each with its arguments as one
    // text of words (a word with spaces in double quotes); empty for none.
    QString onBoardEnd;
    QString onBatchEnd;
};
