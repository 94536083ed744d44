#pragma once

// What only the window shows of an operation: its input panel, the lamp over "COM:" and where the
// progress bar stands. A front end without them gives none, and the operation leaves them be.
class PanelView {
public:
    virtual ~PanelView() = default;
    virtual void setProgressPosition(int position) = 0;
    // The input panel: port list, mode list, file button and Start.
    virtual void setInputPanelEnabled(bool enabled) = 0;
    // The lamp over "COM:": lime green for an open port, red for a closed one.
    virtual void setPortLamp(bool open) = 0;
};
