#pragma once

#include <QString>

struct PlanProblem;
struct StationRefusal;

// What the station core refuses, worded for the operator at the window: its controls and keys,
// not the command line's options.
QString PlanProblemWords(const PlanProblem &problem);
// `image`: the download's image the run was to send.
QString RefusalWords(const StationRefusal &refusal, const QString &image);
