#pragma once

#include "ops/operation_request.h"
#include "ports/com_port_map.h"
#include "ports/port_identity.h"
#include "station/job_step.h"
#include "station/stop_flag.h"

#include <QString>

#include <chrono>
#include <memory>
#include <vector>

// One step of a board's job, as its thread runs it.
struct BoardStep {
    JobStep step; // for an upload, `file` is this port's own
    // A download's or a read-back's image, read once for the run and held: every board gets
    // these very bytes, or is compared with them. Its SHA-256 in hexadecimal.
    std::shared_ptr<const QByteArray> image;
    QByteArray sha256;
};

// One device's job, as the station hands it to a thread of its own.
struct BoardJob {
    OperationRequest request; // the port it opens (its index, or its path); each step the rest
    std::vector<BoardStep> steps;
    int firstStep = 0;   // where this attempt begins: a retry goes on from the step that failed
    QString portName;    // as the operator named it, or as a watched pattern found it
    ComPortMap comPorts; // where COM numbers lead, looked up before the thread starts
    PortIdentity identity;
    bool overwrite = false;
    bool trace = false;
    std::chrono::steady_clock::time_point start; // of the run: the trace's times count from it
    const StopFlag *stop = nullptr;              // ends the operation in order when set
    QString lot;                                 // the lot its records name; empty for none
    int attempts = 1; // at most: 1 and the retries a failure that trying again may cure earns
    int attempt = 1;  // this one
    // A board a watch found: the node it found (its number and inode) is the one opened, and a
    // process that has it open is waited for a while (a probe of a board just plugged in).
    bool watched = false;
    quint64 number = 0;
    quint64 inode = 0;
    // Why the board is not to be served (a watch's board whose upload file is the report): it
    // ends at once, failed, with its record. Empty for a board to serve.
    QString refused;
};
