#include "link/port_opening.h"

#include "link/comm_error.h"
#include "link/line.h"
#include "link/port_console.h"
#include "link/tmscomm.h"

bool OpenComPort(Line &line) {
    TMSComm &comm = line.MSComm;
    if (comm.PortOpen())
        comm.setPortOpen(false);
    const int index = line.console.selectedPortIndex();
    if (index >= 0 && index <= 9)
        comm.setCommPort(index + 1);
    try {
        line.console.setPortLamp(true);
        comm.setInputMode(TMSComm::comInputModeText);
        comm.setInputLen(1);
        comm.setInBufferSize(1024);
        comm.setOutBufferSize(1024);
        comm.setSettings(QStringLiteral("115200,E,8,1"));
        comm.setPortOpen(true);
        return true;
    } catch (const CommError &e) {
        line.console.setPortLamp(false);
        line.console.noteOpenFailure(e.message());
        line.console.showError(QLatin1String(PortUnavailableText));
        return false;
    }
}
