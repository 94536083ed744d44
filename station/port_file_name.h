#pragma once

#include <QString>

// Where an upload's `{port}` stands in the file name.
inline constexpr char PortPlaceholder[] = "{port}";

// A port's name as a file name takes it: "COM.03" stays, "/dev/ttyUSB0" is "ttyUSB0", a link in
// /dev/serial/by-id is its own name, any other path its folders joined by '_'; anything but
// letters, digits, '.', '-' and '_' becomes '_'.
QString PortFileName(const QString &port);

// The upload file for `port`: `pattern` with each {port} replaced by the port's file name.
QString UploadFileFor(const QString &pattern, const QString &port);
