#include "plant/name_lookup.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// getent's answer when the name is not known.
constexpr int NotKnown = 2;

bool numeric(const QByteArray &host) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const bool is = ::getaddrinfo(host.constData(), nullptr, &hints, &found) == 0;
    if (found)
        ::freeaddrinfo(found);
    return is;
}

} // namespace

NameLookup::~NameLookup() {
    stop();
}

void NameLookup::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    if (output_ >= 0)
        ::close(output_);
    output_ = -1;
}

void NameLookup::start(const QString &host) {
    stop();
    state_ = State::Found;
    QByteArray name = host.toUtf8();
    if (numeric(name))
        return;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // A group of its own: the terminal's Ctrl-C is the station's to handle, and the lookup ends
    // when the station says.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    char program[] = "getent";
    char database[] = "ahosts";
    char *arguments[] = {program, database, name.data(), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, program, &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return;
    }
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    pid_ = pid;
    output_ = out[0];
    state_ = State::Looking;
}

NameLookup::State NameLookup::state() {
    if (state_ != State::Looking)
        return state_;
    char drained[512];
    ssize_t n = 0;
    while ((n = ::read(output_, drained, sizeof drained)) > 0) {
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return state_;
    // Its output ended: so did the program.
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    ::close(output_);
    output_ = -1;
    // Anything but "not known" (no lookup program's answer to trust) is left to the client.
    state_ = WIFEXITED(status) && WEXITSTATUS(status) == NotKnown ? State::NotFound : State::Found;
    return state_;
}
