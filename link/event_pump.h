#pragma once

// What the link asks of its front end while it waits for the device: a chance to handle pending
// events (the window repaints and takes Reset and Close; the command line notices Ctrl-C).
class EventPump {
public:
    virtual ~EventPump() = default;
    virtual void processEvents() = 0;
};
