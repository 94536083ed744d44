#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// A port as the operator names it: "COM.01" ... "COM.10" give an index; a text with a '/' is a
// device path; any other name not beginning "COM" is a link's name in /dev/serial/by-id.
struct PortChoice {
    int portIndex = 0; // 0 for "COM.01" ... 9 for "COM.10"
    QString portPath;  // a device to open instead of a numbered port; empty for a COM name
};

// Nothing for a text that names no port.
std::optional<PortChoice> ParsePortName(const QString &text);

// What is wrong with a port's name given by the operator, as a sentence that quotes it safely
// ("\"/dev/ttyUSB0\\n\" holds a line break, which no port's name has"); empty when nothing is. A
// name no path the system opens can have would otherwise fail later and in other words, and a
// line break in it would break every line that names it.
QString PortNameProblem(const QString &text);

// Whether a port's name is a pattern (with * ? [) for the ports a watch looks for.
bool IsPortPattern(const QString &text);

class ComPortMap;

// What the port the operator named leads to, said before the operation: "COM.03 is /dev/ttyUSB0
// (FT232R USB UART)", or the device a by-id name stands for today; what in the ports file cannot
// be used; a bare name that no adapter has but a file in the working folder has, with the path
// to give for it; and why new COM numbers could not be kept, if they could not. Nothing for a
// device path given as it is.
QStringList PortNotes(const QString &name, const PortChoice &choice, const ComPortMap &ports);
