#pragma once

// TCP on 127.0.0.1, for the brokers the tests and benchmarks stand up.

// A port nobody listens on now; 0 when the system gave none.
int FreeLoopbackPort();

// Whether something takes connections on `port`.
bool ListeningOnLoopback(int port);

// A broker that is hung (stopped, or its host under water): the system takes each connection
// into the listener's queue, and nothing ever answers.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener &) = delete;
    SilentListener &operator=(const SilentListener &) = delete;

    // 0 when no listener could be made.
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};
