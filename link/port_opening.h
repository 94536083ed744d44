#pragma once

#include <QString>

#include <optional>

class TMSComm;

// Closes the port if open, then opens COM(index + 1) (index 0..9; any other index keeps the
// port number last set) at 115200,E,8,1 in text mode with one-character reads. The system's
// reason when it cannot be opened; the port is then closed.
std::optional<QString> OpenComPort(TMSComm &comm, int portIndex);

// Puts a port left open by the operation before (an upload reads in blocks) back as
// OpenComPort leaves it: text mode with one-character reads, and nothing waiting. The next
// operation on it finds it as if it had just been opened.
void ReuseComPort(TMSComm &comm);
