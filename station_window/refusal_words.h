#pragma once

#include <QString>

struct PlanProblem;
struct StationRefusal;

// What the station core refuses, worded for the operator at the window: its controls and keys,
// not the command line's options.
QString PlanProblemWords(const PlanProblem &problem);
// A refusal of a job's step names the step.
QString RefusalWords(const StationRefusal &refusal);
