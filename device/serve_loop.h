#pragma once

#include <QString>

class DeviceMachine;
class PtyLine;

// Makes SIGINT, SIGTERM and SIGHUP end Serve() in order instead of killing the process. Call once,
// before Serve().
void CatchStopSignals();

// Runs the device on the line: waits in poll() for the tool's bytes or the device's next timed
// answer, and writes each answer when it is due. Returns 0 after a stop signal, after the line was
// hung up (hangup-after) or, with `once`, after one operation has ended; 1 on a failure of the
// line, with the reason in *error.
int Serve(PtyLine &line, DeviceMachine &machine, bool once, QString *error);
