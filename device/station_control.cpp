#include "device/station_control.h"

#include "device/device_faults.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// No command is longer; a longer line is noise and is not kept.
constexpr int MaxLineLength = 64;

} // namespace

StationControl::StationControl(QString path, int deviceCount, Say say)
    : path_(std::move(path)), deviceCount_(deviceCount), say_(std::move(say)) {}

StationControl::~StationControl() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    ::unlink(QFile::encodeName(path_).constData());
}

bool StationControl::open(QString *error) {
    const QByteArray path = QFile::encodeName(path_);
    const auto fail = [&](const char *what) {
        *error = QStringLiteral("%1 %2: %3")
                     .arg(QLatin1String(what), path_, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    };
    struct stat info {};
    if (::lstat(path.constData(), &info) == 0) {
        if (!S_ISFIFO(info.st_mode)) {
            *error =
                QStringLiteral("%1 exists and is not a named pipe; not replacing it").arg(path_);
            return false;
        }
        // A pipe a running station still reads takes a writer; a killed one's has no reader.
        if (const int reader = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            reader >= 0) {
            ::close(reader);
            *error = QStringLiteral("%1 is the control pipe of a station still running; not "
                                    "replacing it")
                         .arg(path_);
            return false;
        }
        if (::unlink(path.constData()) != 0)
            return fail("cannot remove the old control pipe");
    }
    if (::mkfifo(path.constData(), 0600) != 0)
        return fail("cannot make the control pipe");
    // Open for writing too, so the pipe never reads end-of-file when a writer closes it.
    fd_ = ::open(path.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        fail("cannot open the control pipe");
        ::unlink(path.constData());
        return false;
    }
    return true;
}

std::vector<StationControl::Command> StationControl::take() {
    std::vector<Command> commands;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n') {
                if (overlong_)
                    say_(QStringLiteral("control: a line of more than %1 characters ignored")
                             .arg(MaxLineLength));
                else
                    parse(pending_, commands);
                pending_.clear();
                overlong_ = false;
            } else if (pending_.size() < MaxLineLength) {
                pending_ += buffer[i];
            } else {
                overlong_ = true;
            }
        }
    }
    return commands;
}

void StationControl::parse(const QByteArray &line, std::vector<Command> &commands) {
    const QList<QByteArray> words = line.simplified().split(' ');
    if (words.size() == 1 && words[0].isEmpty())
        return;
    using Kind = Command::Kind;
    const bool fault = words[0] == "fault";
    const Kind kind = fault ? Kind::Fault : words[0] == "plug" ? Kind::Plug : Kind::Unplug;
    bool ok = false;
    const int device = words.size() == (fault ? 3 : 2) ? words[1].toInt(&ok) : -1;
    if ((fault || words[0] == "plug" || words[0] == "unplug") && ok && device >= 0 &&
        device < deviceCount_) {
        const QString name = fault ? QString::fromLocal8Bit(words[2]) : QString();
        // A fault the device would not take is said now, and changes nothing.
        DeviceFaults check;
        QString error;
        if (fault && name != QLatin1String("none") && !AddFault(check, name, &error)) {
            say_(QStringLiteral("control: \"%1\": %2")
                     .arg(QString::fromLocal8Bit(line.simplified()), error));
            return;
        }
        commands.push_back({kind, device, name});
        return;
    }
    say_(QStringLiteral("control: \"%1\" is no command; use \"unplug K\", \"plug K\", "
                        "\"fault K NAME[=ARG]\" or \"fault K none\" with K from 0 to %2")
             .arg(QString::fromLocal8Bit(line.simplified()))
             .arg(deviceCount_ - 1));
}
