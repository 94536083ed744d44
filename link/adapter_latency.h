#pragma once

#include <QString>

#include <chrono>
#include <optional>

// How long the USB adapter behind `device` holds what the device sends before it passes it on,
// where the system says so (an FTDI adapter's latency timer); none where it does not.
std::optional<std::chrono::milliseconds> AdapterLatencyTimer(const QString &device);
