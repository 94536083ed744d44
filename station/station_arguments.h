#pragma once

#include "link/transfer_mode.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineParser;

// A station's operation as the operator writes it: "download KIND FILE" or "upload KIND FILE",
// the ports (with --watch, patterns too), the report and the overwrite choice.
struct StationArguments {
    TransferMode mode = TransferMode::DownloadSoftware;
    QString file;
    QStringList ports; // every --port as written
    bool watch = false;
    bool overwrite = false;
    QString report;        // empty for none
    bool patterns = false; // some port is a pattern
};

// The options every front end of the station takes: --port, --overwrite, --report, --watch.
struct StationOptions {
    StationOptions();
    QList<QCommandLineOption> all() const { return {port, overwrite, report, watch}; }

    QCommandLineOption port;
    QCommandLineOption overwrite;
    QCommandLineOption report;
    QCommandLineOption watch;
};

// Qt's help text begins "Usage: " and the path the program was started by: `program` instead.
QString HelpNamingProgram(const QString &help, const QString &program);

// The upload kinds and the download kinds, as the operator writes them.
QStringList StationKinds(bool upload);

// Reads `operation` (direction, KIND, FILE: three words) and the station's options from
// `parser`; empty when they are sound, else what was wrong. `portRequired`: no --port is an
// error (a window lets the operator choose them).
QString ReadStationArguments(const QCommandLineParser &parser, const StationOptions &options,
                             const QStringList &operation, bool portRequired,
                             StationArguments *into);
