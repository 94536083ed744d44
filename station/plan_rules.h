#pragma once

#include "station/station_plan.h"

#include <QString>

#include <optional>

// The most further attempts a board may be given.
inline constexpr int MaxRetries = 10;

// What is wrong with a plan, whoever filled it in: each front end words it for its people (the
// command line with its options, a window with its controls).
struct PlanProblem {
    enum class Kind {
        NoFile,                // no step, or a step with no image file named
        NoPorts,               // no port to serve
        UnknownPort,           // `port` names no port
        BadPortName,           // no port has a name like `port`: `detail` says why, quoting it
        PatternWithoutWatch,   // `port` is a pattern, and there is no watch to find its ports
        PortTwice,             // `port` is named twice
        UploadNeedsPortName,   // several ports' uploads would go to one file: no {port} in it
        OverwriteForDownload,  // only an upload has a file to replace
        ExpectedHashForUpload, // only a download or a read-back has an image known beforehand
        BadExpectedHash,       // `detail`, the hash given, is not 64 hexadecimal digits
        BadLotName,            // `detail` says why
        RetriesOutOfRange,     // not 0 to MaxRetries
    };
    Kind kind;
    QString port;
    QString detail;
    int step = 0; // the step it is of, from 1; 0 for the whole plan's
};

// The plan's rules, written once. `complete`: the plan is to start now, so it needs its file and
// its ports (arguments may leave them to the operator).
std::optional<PlanProblem> CheckPlan(const StationPlan &plan, bool complete);

// Whether `text` is a SHA-256 in hexadecimal (either case).
bool IsSha256Text(const QString &text);
