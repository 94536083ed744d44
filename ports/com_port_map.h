#pragma once

#include "link/tmscomm.h"

#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <vector>

// The port list's ten numbers, "COM.01" to "COM.10".
inline constexpr int ComPortCount = 10;

// What one COM number leads to, or a port that has none.
struct ComPortEntry {
    // The device that opens; empty when nothing is there.
    QString device;
    // The system's words for the port ("FT232R USB UART"), where the device comes from
    // ("set by TORVANE_COM2"), or why nothing is there.
    QString description;
    // Pointed at by the operator (TORVANE_COMn): opened as asked, not judged as a board's port.
    bool byHand = false;
};

// What each COM number leads to at one moment, and the ports present that no COM number
// reaches. A value: each thread and each front end holds its own.
class ComPortMap {
public:
    // 1..ComPortCount; any other number leads nowhere.
    const ComPortEntry &entry(int number) const;
    QString devicePath(int number) const { return entry(number).device; }
    void set(int number, ComPortEntry entry);

    const std::vector<ComPortEntry> &unnumbered() const { return unnumbered_; }
    void addUnnumbered(ComPortEntry entry) { unnumbered_.push_back(std::move(entry)); }

    // Why the numbers given out now could not be kept for the next run; empty when they were.
    QString keepError() const { return keepError_; }
    void setKeepError(const QString &error) { keepError_ = error; }

    // What in the user's ports file cannot be used, a line each: for the front end to say once.
    const QStringList &problems() const { return problems_; }
    void addProblem(const QString &problem) { problems_ << problem; }

private:
    std::array<ComPortEntry, ComPortCount> entries_;
    ComPortEntry none_;
    std::vector<ComPortEntry> unnumbered_;
    QString keepError_;
    QStringList problems_;
};

// Looks the numbers up again: the system's ports may have come and gone since the last time.
using ComPortSource = std::function<ComPortMap()>;

// "COM.03" for 3.
QString ComPortName(int number);

// One line for the operator: "/dev/ttyUSB0 (FT232R USB UART)", or "no device" and why.
QString DescribeComPort(const ComPortEntry &entry);

// What the serial component asks when COM n opens, answered from the numbers looked up then.
TMSComm::PortResolver ComPortResolver(ComPortSource source);
