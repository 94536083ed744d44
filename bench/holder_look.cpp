// What an opening's look at the machine costs: who else has the device open, and whether it is a
// board's port (the terminals in use), each a walk through /proc, with many other processes
// running. Prints "PROCESSES HOLDERS_MS TERMINALS_MS" (medians) on its last line.
#include "link/port_claim.h"
#include "ports/machine_terminals.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr int Rounds = 21;

template <class Look> double medianMs(Look look) {
    std::vector<double> ms;
    for (int round = 0; round < Rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        look();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int processes = argc > 1 ? std::atoi(argv[1]) : 1000;
    // The device looked for: a pseudo-terminal's slave that nobody else holds.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return 1;
    }
    struct stat slave {};
    if (::stat(::ptsname(master), &slave) != 0) {
        std::perror("stat");
        return 1;
    }
    std::vector<pid_t> children;
    char sleep[] = "sleep";
    char seconds[] = "600";
    char *arguments[] = {sleep, seconds, nullptr};
    for (int i = 0; i < processes; ++i) {
        pid_t child = 0;
        if (::posix_spawnp(&child, "sleep", nullptr, nullptr, arguments, environ) != 0)
            break;
        children.push_back(child);
    }
    const double holders = medianMs([&] {
        if (!HoldersOf(slave.st_rdev).isEmpty())
            std::fprintf(stderr, "holder_look: the terminal has holders\n");
    });
    const double terminals = medianMs([&] { NoBoardPortNow(quint64(slave.st_rdev)); });
    for (const pid_t child : children)
        ::kill(child, SIGKILL);
    for (const pid_t child : children)
        ::waitpid(child, nullptr, 0);
    std::printf("%zu %.2f %.2f\n", children.size(), holders, terminals);
    return 0;
}
