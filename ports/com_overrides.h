#pragma once

#include <QString>

#include <map>

class QProcessEnvironment;

// COM n -> the device TORVANE_COMn names: it leads there whatever else the system has.
using ComOverrides = std::map<int, QString>;

// Every TORVANE_COMn (n 1..10) set to a device in `environment`. The programs read their
// environment here once and hand the result down; nothing below reads it itself.
ComOverrides ComOverridesFrom(const QProcessEnvironment &environment);
