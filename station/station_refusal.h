#pragma once

#include "station/exit_code.h"

#include <QString>

// Why the station does not start. Nothing was touched, nothing made.
struct StationRefusal {
    enum class Kind {
        File,         // `error` says what is wrong with a file (the image, the report, the lot)
        SameDevice,   // the ports `first` and `second` are one device, `place`
        SameTarget,   // the ports `first` and `second` would both save their upload to `place`
        ImageDiffers, // the image `place` is not the one expected: `expected`, `actual`
    };
    ExitCode code = ExitCode::FileRefused;
    Kind kind = Kind::File;
    QString error;  // for a file: what was wrong, as the system or the file check says it
    QString status; // the download file's check, shown as its status text; else empty
    QString first;
    QString second;
    QString place;
    QString expected; // SHA-256 in lower-case hexadecimal
    QString actual;
    // In a job of several steps, the step (from 1) whose file it is, and its name ("Verify
    // Software"); 0 and empty otherwise.
    int step = 0;
    QString stepName;
};
