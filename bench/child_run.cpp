#include "bench/child_run.h"

#include "bench/cpu_time.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

ChildRun::~ChildRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0)
        ::close(out_);
}

bool ChildRun::start(const QString &program, const QStringList &arguments, bool capture,
                     const QString &errorFile) {
    int fds[2] = {-1, -1};
    if (capture && ::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    std::vector<QByteArray> storage;
    storage.push_back(program.toLocal8Bit());
    for (const QString &a : arguments)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const QByteArray errorPath = errorFile.toLocal8Bit();

    started_ = Clock::now();
    pid_ = ::fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        if (capture) {
            ::dup2(fds[1], STDOUT_FILENO);
        } else {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
        }
        if (!errorPath.isEmpty()) {
            const int err = ::open(errorPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(err, STDERR_FILENO);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (capture) {
        ::close(fds[1]);
        out_ = fds[0];
    } else {
        ended_ = true;
    }
    return true;
}

bool ChildRun::fill(std::chrono::milliseconds timeout) {
    if (ended_)
        return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, int(timeout.count())) <= 0)
        return false;
    char chunk[4096];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) {
        ended_ = true;
        return false;
    }
    const double now = std::chrono::duration<double>(Clock::now() - started_).count();
    buffer_.append(chunk, n);
    for (qsizetype end; (end = buffer_.indexOf('\n')) >= 0;) {
        lines_.push_back({now, buffer_.left(end)});
        buffer_.remove(0, end + 1);
    }
    return true;
}

std::optional<ChildRun::Line> ChildRun::readLine(std::chrono::milliseconds timeout) {
    // Lines that came in one piece are handed out one by one.
    const auto until = Clock::now() + timeout;
    while (lines_.size() == nextLine_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0 || (!fill(left) && (ended_ || Clock::now() >= until)))
            break;
    }
    if (lines_.size() == nextLine_)
        return std::nullopt;
    return lines_[nextLine_++];
}

ChildRun::Result ChildRun::wait(std::chrono::milliseconds timeout) {
    Result result;
    const auto until = Clock::now() + timeout;
    while (!ended_ && Clock::now() < until)
        fill(std::chrono::milliseconds(100));
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
        if (done == pid_)
            break;
        if (done < 0 && errno != EINTR)
            return result;
        if (Clock::now() >= until) {
            ::kill(pid_, SIGKILL);
            ::wait4(pid_, &status, 0, &usage);
            break;
        }
        ::usleep(1000);
    }
    pid_ = -1;
    result.wallSeconds = std::chrono::duration<double>(Clock::now() - started_).count();
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.cpuSeconds = CpuSecondsOf(usage);
    result.peakRssKb = usage.ru_maxrss;
    return result;
}

void ChildRun::signal(int signal) {
    if (pid_ > 0)
        ::kill(pid_, signal);
}

double ChildRun::timeOf(StatusCode code) const {
    for (const Line &line : lines_) {
        if (StatusCodeOf(QString::fromLatin1(line.text)) == code)
            return line.seconds;
    }
    return -1;
}
