#pragma once

#include "ports/com_port_map.h"
#include "station/station_watch.h"

#include <QObject>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class StationRun;

// A watch's looks, four times a second, on a thread of their own: each walks /proc and /sys and
// the folders of the patterns, which the window's thread never waits for. Each look's step is
// handed to `step` on the thread this object lives on.
class WatchThread : public QObject {
    Q_OBJECT
public:
    WatchThread(const StationRun &run, ComPortSource comPorts,
                std::function<void(const WatchStep &)> step);
    // Waits for the look in progress; a step not yet handed over is dropped.
    ~WatchThread() override;

    // The board served on `name` has ended: the watch hears of it before its next look.
    void ended(const QString &name, const QString &result);

private:
    void loop();

    StationWatch watch_;
    std::function<void(const WatchStep &)> step_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<std::pair<QString, QString>> ended_;
    std::thread thread_;
};
