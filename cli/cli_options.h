#pragma once

#include "station/station_plan.h"

#include <QString>
#include <QStringList>

// What the command line asks for: one operation on one port, or on each of several at once.
struct CliOptions {
    StationPlan plan;  // the operation and every --port as the operator wrote it
    int portIndex = 0; // the first port: 0 for "COM.01" ... 9 for "COM.10"
    QString portPath;  // a device to open instead of a mapped COM port
    QString portName;  // the port as the operator wrote it
    QString recipe;    // the recipe the plan came from; empty for the command line's own

    // Several ports, or watching for them: the station runs them, each on its own thread.
    bool station() const { return plan.watch || plan.ports.size() > 1; }
};

struct ParsedCommandLine {
    enum class Action { Run, Exit, ListPorts };
    Action action = Action::Exit;
    int exitCode = 0;
    QString message; // help or version on stdout for exit code 0, else the usage error
    CliOptions options;
};

// Reads the arguments (the program name first). Never exits the process.
ParsedCommandLine ParseCommandLine(const QStringList &arguments);

// The port as ParsePortName reads it; false for a text that names no port.
bool ParsePort(const QString &text, CliOptions &options);
