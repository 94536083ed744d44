#include "station_window/watch_thread.h"

#include <chrono>

namespace {

constexpr auto LookInterval = std::chrono::milliseconds(250);

} // namespace

WatchThread::WatchThread(const StationRun &run, ComPortSource comPorts,
                         std::function<void(const WatchStep &)> step)
    : watch_(run, std::move(comPorts)), step_(std::move(step)), thread_([this] { loop(); }) {}

WatchThread::~WatchThread() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void WatchThread::ended(const QString &name, const QString &result) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ended_.emplace_back(name, result);
}

void WatchThread::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        for (const auto &[name, result] : ended_)
            watch_.ended(name, result);
        ended_.clear();
        lock.unlock();
        WatchStep step = watch_.look();
        // Handed over on this object's thread; dropped there if this object is gone by then.
        QMetaObject::invokeMethod(
            this, [this, step = std::move(step)] { step_(step); }, Qt::QueuedConnection);
        lock.lock();
        wake_.wait_for(lock, LookInterval, [this] { return stopping_; });
    }
}
