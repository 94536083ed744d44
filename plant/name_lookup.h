#pragma once

#include <QString>

#include <sys/types.h>

// The broker's host name looked up by a program of its own (getent, which asks the system's
// resolver as the broker's client will), so that a lookup the network never answers can be
// given up: a thread waiting in the resolver can be neither stopped nor left behind at the
// station's end, a process can be ended. A numeric address needs no lookup.
class NameLookup {
public:
    enum class State { Looking, Found, NotFound };

    NameLookup() = default;
    // Ends the lookup when it still runs: nothing of it outlives its owner.
    ~NameLookup();
    NameLookup(const NameLookup &) = delete;
    NameLookup &operator=(const NameLookup &) = delete;

    // Begins to look `host` up. Where no lookup program can be run, the name is taken as found
    // and left to the broker's client to look up.
    void start(const QString &host);
    // Readable when the lookup has something to say; -1 once it has ended.
    int descriptor() const { return output_; }
    // How it stands, taking the program's end once it has come.
    State state();
    // Ends the lookup where it still runs.
    void stop();

private:
    pid_t pid_ = -1;
    int output_ = -1; // the program's standard output: its end says the lookup ended
    State state_ = State::Found;
};
