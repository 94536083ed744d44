#include "station/stop_signals.h"

#include <QtGlobal>

#include <csignal>

StopFlag StopSignal{0};
StopFlag FinishSignal{0};

namespace {

void onStopSignal(int signal) {
    StopSignal.store(signal, std::memory_order_relaxed);
}

void onFinishSignal(int signal) {
    FinishSignal.store(signal, std::memory_order_relaxed);
}

} // namespace

void CatchStopSignals() {
#ifdef Q_OS_UNIX
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    // Always caught: a station started in the background still ends in order when told to.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction hangup {};
    if (sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN)
        sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // Kept for the next one: asking again to finish is no reason to end at once.
    struct sigaction finish {};
    finish.sa_handler = onFinishSignal;
    sigemptyset(&finish.sa_mask);
    sigaction(SIGUSR1, &finish, nullptr);
#else
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#endif
}
