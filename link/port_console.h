#pragma once

#include <QString>

// What the link needs of the window: the port list's choice, the port lamp, the error box, and a
// chance for the window to handle its pending events while the link waits for the device.
class PortConsole {
public:
    virtual ~PortConsole() = default;
    // Index of the port list's selection, 0 for "COM.01"; -1 when nothing is selected.
    virtual int selectedPortIndex() const = 0;
    // The lamp over "COM:": lime green for an open port, red for a closed one.
    virtual void setPortLamp(bool open) = 0;
    // A modal error box with the caption "Error"; returns when the operator has closed it.
    virtual void showError(const QString &text) = 0;
    // What the system said when the port would not open, ahead of the one message the
    // operator is shown for every such failure. A front end may keep it for a log.
    virtual void noteOpenFailure(const QString &cause) { Q_UNUSED(cause) }
    // Lets the window process its pending events (repaint, Reset, Close) and returns.
    virtual void processEvents() = 0;
};
