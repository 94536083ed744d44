#pragma once

#include "link/transfer_mode.h"
#include "plant/publish_settings.h"
#include "station/publish_arguments.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineParser;

// What the operator asks the station for: one operation, on which ports.
struct StationPlan {
    TransferMode mode = TransferMode::DownloadSoftware;
    // The download file, or the upload file, in which `{port}` stands for each port's own.
    QString file;
    QStringList ports; // as the operator named them; for a watch, patterns too
    bool watch = false;
    bool overwrite = false;
    bool trace = false;
    QString report;          // where each board's record is appended; empty for none
    PublishSettings publish; // the plant's broker the records go to; none when not enabled
};

// The options every front end of the station takes: --port, --overwrite, --report, --watch,
// and those that publish the records.
struct StationOptions {
    StationOptions();
    QList<QCommandLineOption> all() const {
        return QList<QCommandLineOption>{port, overwrite, report, watch} + publishing.all();
    }

    QCommandLineOption port;
    QCommandLineOption overwrite;
    QCommandLineOption report;
    QCommandLineOption watch;
    PublishOptions publishing;
};

// Qt's help text begins "Usage: " and the path the program was started by: `program` instead.
QString HelpNamingProgram(const QString &help, const QString &program);

// Reads `operation` (direction, KIND, FILE: three words) and the station's options from
// `parser`; empty when they are sound, else what was wrong. `portRequired`: no --port is an
// error (a window lets the operator choose them).
QString ReadStationArguments(const QCommandLineParser &parser, const StationOptions &options,
                             const QStringList &operation, bool portRequired, StationPlan *into);
