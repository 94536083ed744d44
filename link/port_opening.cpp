#include "link/port_opening.h"

#include "link/comm_error.h"
#include "link/tmscomm.h"

std::optional<QString> OpenComPort(TMSComm &comm, int portIndex) {
    if (comm.PortOpen())
        comm.setPortOpen(false);
    if (portIndex >= 0 && portIndex <= 9)
        comm.setCommPort(portIndex + 1);
    try {
        comm.setInputMode(TMSComm::comInputModeText);
        comm.setInputLen(1);
        comm.setInBufferSize(1024);
        comm.setOutBufferSize(1024);
        comm.setSettings(QStringLiteral("115200,E,8,1"));
        comm.setPortOpen(true);
        return std::nullopt;
    } catch (const CommError &e) {
        return e.message();
    }
}

void ReuseComPort(TMSComm &comm) {
    comm.setInputMode(TMSComm::comInputModeText);
    comm.setInputLen(1);
    comm.setInBufferCount(0);
}
