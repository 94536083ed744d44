#include "cli/interrupt.h"

#include <signal.h>

StopFlag InterruptSignal{0};

namespace {

void onInterrupt(int signal) {
    InterruptSignal.store(signal, std::memory_order_relaxed);
}

} // namespace

void InstallInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // A second Ctrl-C ends the program at once, for an operator who will not wait.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal (an SSH session that ended) ends the operations in order too; under
    // nohup the hangup stays ignored.
    struct sigaction hangup {};
    if (sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN)
        sigaction(SIGHUP, &action, nullptr);
    // A reader that went away (`| head`) must not end the operation in the middle.
    signal(SIGPIPE, SIG_IGN);
}
