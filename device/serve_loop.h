#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <vector>

class StationControl;
class StationDevice;

// Makes SIGINT, SIGTERM and SIGHUP end Serve() in order instead of killing the process. Call once,
// before Serve().
void CatchStopSignals();

// Runs the devices on their lines in one poll loop: waits for the tools' bytes, the control's
// commands (when there is a control) or a device's next timed answer, and writes each answer when
// it is due. After a stop signal every device is unplugged and Serve() returns. It also returns
// once every device has finished (hung up, or with `once` served one operation). 1 when a
// device's line failed, else 0.
int Serve(std::vector<std::unique_ptr<StationDevice>> &devices, StationControl *control, bool once,
          const std::function<void(const QString &)> &say);
