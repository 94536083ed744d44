#include "link/judged_open.h"

#include "link/comm_error.h"
#include "link/lock_file.h"
#include "link/port_claim.h"

#include <QFile>
#include <QThread>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

[[noreturn]] void refuse(const QString &path, const QString &why) {
    throw OpenFailedError(path, why);
}

// The pseudo-terminal multiplexer: each opening makes a new terminal pair.
bool isPtyMultiplexer(dev_t device) {
#ifdef Q_OS_LINUX
    return major(device) == 5 && minor(device) == 2;
#else
    Q_UNUSED(device)
    return false;
#endif
}

QString holdersText(const QStringList &holders) {
    return QStringLiteral("%1: %2 %3 it open")
        .arg(InUseText(), holders.join(QStringLiteral(", ")),
             holders.size() == 1 ? QStringLiteral("has") : QStringLiteral("have"));
}

} // namespace

JudgedDevice OpenJudgedDevice(const QString &path, const PortCheck &check) {
    const QByteArray name = QFile::encodeName(path);
    // The node itself is opened, not a link to it: a link may lead elsewhere a moment later.
    char resolved[PATH_MAX];
    if (!::realpath(name.constData(), resolved))
        refuse(path, OpenFailureCause(path, errno));
    const QString node = QFile::decodeName(resolved);
    struct stat before {};
    if (::stat(resolved, &before) != 0)
        refuse(path, OpenFailureCause(path, errno));
    // What is no terminal at all is not even opened.
    if (!S_ISCHR(before.st_mode))
        refuse(path, OpenFailureCause(path, ENOTTY));
    if (isPtyMultiplexer(before.st_rdev))
        refuse(path, QStringLiteral("it makes a new pseudo-terminal each time it is opened, and "
                                    "no board is on it: name the terminal a device is on "
                                    "(/dev/pts/N, as torvane-device prints it)"));
    JudgedDevice device;
    device.node = node;
    device.fd = ::open(resolved, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device.fd < 0)
        refuse(path, OpenFailureCause(path, errno));
    const auto fail = [&](const QString &why) {
        ::close(device.fd);
        refuse(path, why);
    };
    struct stat opened {};
    if (::fstat(device.fd, &opened) != 0)
        fail(qt_error_string(errno));
    if (opened.st_rdev != before.st_rdev || opened.st_ino != before.st_ino)
        fail(QStringLiteral("%1 was made anew for another device while it was opened").arg(node));
    if (check.number != 0 &&
        (quint64(opened.st_rdev) != check.number || quint64(opened.st_ino) != check.inode))
        fail(QStringLiteral("%1 leads to another device than the one found there before (%2 now)")
                 .arg(path, node));
    if (!::isatty(device.fd))
        fail(OpenFailureCause(path, ENOTTY));
    if (check.judge) {
        if (const QString why = check.judge(quint64(opened.st_rdev)); !why.isEmpty())
            fail(QStringLiteral("%1 is no board's port: it is %2").arg(node, why));
    }
    return device;
}

void RefuseOtherHolders(const JudgedDevice &device, const QString &path, const PortCheck &check,
                        const LineNoteSink &note) {
    if (const QString lock = LiveLockOfAnotherName(device.node, path); !lock.isEmpty())
        refuse(path, lock);
    struct stat st {};
    if (::fstat(device.fd, &st) != 0)
        refuse(path, qt_error_string(errno));
    QStringList holders = HoldersOf(st.st_rdev);
    if (holders.isEmpty())
        return;
    // A probe of a board just plugged in (ModemManager's) lets go within seconds.
    const auto until = Clock::now() + check.holderWait;
    if (check.holderWait > 0ms && note)
        note(QStringLiteral("%1: %2; waiting up to %3 s for it to be let go")
                 .arg(path, holdersText(holders))
                 .arg(std::chrono::duration_cast<std::chrono::seconds>(check.holderWait).count()));
    // Each look walks /proc (tens of milliseconds with a thousand processes): four a second.
    while (Clock::now() < until && !(check.giveUp && check.giveUp())) {
        QThread::msleep(250);
        holders = HoldersOf(st.st_rdev);
        if (holders.isEmpty())
            return;
    }
    refuse(path, holdersText(holders));
}
