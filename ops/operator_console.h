#pragma once

#include "link/port_console.h"

#include <QString>
#include <QThread>

// What an operation needs of its front end: the window implements it on widgets, the command
// line on a terminal.
class OperatorConsole : public PortConsole {
public:
    // The mode list's current index (0..7; -1 when nothing is selected).
    virtual int selectedMode() const = 0;
    // The file-name field: empty until a file has been chosen for the current direction.
    virtual QString fileNameField() const = 0;
    // The name last confirmed in the download-file dialog and in the upload-file dialog.
    virtual QString downloadFileName() const = 0;
    virtual QString uploadFileName() const = 0;

    // Replaces the whole status line.
    virtual void showStatus(const QString &text) = 0;
    // Replaces the status line with a phase's percentage text ("Transfering Data:  42%").
    // The window shows it like any status; a terminal may draw it as progress instead.
    virtual void showProgressText(const QString &text) { showStatus(text); }
    // Sets the progress bar's range to 0..max and its step, advances it one step (a step past
    // the maximum starts again at 0), then lets the window process pending events.
    virtual void Progress(int max, int step) = 0;
    virtual void setProgressPosition(int position) = 0;
    // The input panel: port list, mode list, file button and Start.
    virtual void setInputPanelEnabled(bool enabled) = 0;
    // Stands still for `ms` milliseconds, answering nothing; the status shown stays in view.
    virtual void standStill(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }
};
