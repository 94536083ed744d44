#pragma once

#include "link/transfer_mode.h"

#include <QString>
#include <QStringList>

// What the command line asks for: one operation on one port, or on each of several at once.
struct CliOptions {
    TransferMode mode = TransferMode::DownloadSoftware;
    QString file;      // the image file to send, or the one to write
    int portIndex = 0; // 0 for "COM.01" ... 9 for "COM.10"
    QString portPath;  // a device to open instead of a mapped COM port
    QString portName;  // the port as the operator wrote it
    bool overwrite = false;
    bool trace = false;
    QStringList ports; // every --port as the operator wrote it, the one above first
    QString report;    // where each operation's record is appended; empty for none
    // Runs the operation on each port matching a --port (a pattern with * ? [) as it appears.
    bool watch = false;

    // Several ports, or watching for them: the station runs them, each on its own thread.
    bool station() const { return watch || ports.size() > 1; }
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
