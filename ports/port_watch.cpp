#include "ports/port_watch.h"

#include "ports/com_numbering.h"
#include "ports/machine_terminals.h"
#include "ports/port_names.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

#include <glob.h>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/inotify.h>
#endif

namespace {

bool isComName(const QString &text) {
    return !text.contains(QLatin1Char('/')) &&
           text.startsWith(QLatin1String("COM"), Qt::CaseInsensitive);
}

// The paths a pattern matches now, sorted; the path itself when it is none.
QStringList matching(const QString &pattern) {
    if (!IsPortPattern(pattern))
        return {pattern};
    QStringList paths;
    glob_t found{};
    if (::glob(QFile::encodeName(pattern).constData(), 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i)
            paths << QFile::decodeName(found.gl_pathv[i]);
    }
    ::globfree(&found);
    return paths;
}

// Empty unless `path` leads to a character device: the device node's numbers. A board plugged
// in anew gets a node made anew. (A link's own numbers and times are no part of it: the system
// touches or makes anew the by-id links of a board that stays, at any event of its device.)
QByteArray identityOf(const QString &path, FoundPort *port = nullptr) {
    struct stat device {};
    if (::stat(QFile::encodeName(path).constData(), &device) != 0 || !S_ISCHR(device.st_mode))
        return {};
    if (port) {
        port->number = quint64(device.st_rdev);
        port->inode = quint64(device.st_ino);
    }
    return QByteArray::number(quint64(device.st_ino)) + ':' +
           QByteArray::number(quint64(device.st_rdev));
}

} // namespace

PortWatch::PortWatch(QStringList patterns, ComPortSource comPorts)
    : patterns_(std::move(patterns)), source_(std::move(comPorts)) {
#ifdef Q_OS_LINUX
    changes_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
#endif
}

PortWatch::~PortWatch() {
    if (changes_ >= 0)
        ::close(changes_);
}

void PortWatch::watchFolderOf(const QString &device) {
#ifdef Q_OS_LINUX
    const QString folder = QFileInfo(device).absolutePath();
    if (changes_ < 0 || !watchedFolders_.insert(folder).second)
        return;
    const int watch = ::inotify_add_watch(changes_, QFile::encodeName(folder).constData(),
                                          IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO);
    if (watch >= 0)
        folders_[watch] = folder;
#else
    Q_UNUSED(device)
#endif
}

std::set<QString> PortWatch::changedSince() {
    std::set<QString> changed;
#ifdef Q_OS_LINUX
    if (changes_ < 0)
        return changed;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t size = ::read(changes_, buffer, sizeof buffer);
        if (size <= 0)
            break;
        for (ssize_t at = 0; at < size;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            const auto folder = folders_.find(event->wd);
            if (event->len > 0 && folder != folders_.end())
                changed.insert(folder->second + QLatin1Char('/') + QFile::decodeName(event->name));
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
#endif
    return changed;
}

bool PortWatch::watchesComNumbers() const {
    return std::any_of(patterns_.begin(), patterns_.end(), isComName);
}

std::vector<FoundPort> PortWatch::scan() {
    // Before the looking: a node made again after it was looked at is told at the next scan.
    const std::set<QString> changed = changedSince();
    std::vector<FoundPort> ports;
    std::set<QString> devices;
    skipped_.clear();
    std::optional<MachineTerminals> terminals; // read at the first device found
    const auto add = [&](FoundPort port, const QString &opens) {
        port.identity = identityOf(opens, &port);
        port.device = QFileInfo(opens).canonicalFilePath();
        if (port.identity.isEmpty() || port.device.isEmpty() || !devices.insert(port.device).second)
            return;
        if (!terminals)
            terminals = ReadMachineTerminals();
        if (const auto number = CharacterDeviceOf(port.device)) {
            if (const QString why = NoBoardPort(*number, *terminals); !why.isEmpty()) {
                skipped_.push_back({port.device, why});
                return;
            }
        }
        // The board is opened by the device judged, never by a name (a link, a COM number pointed
        // at a link) that may lead elsewhere a moment later.
        port.path = port.device;
        ports.push_back(std::move(port));
    };
    bool mapped = false;
    for (const QString &pattern : patterns_) {
        if (isComName(pattern)) {
            // Looked up once a scan: numbers are given to ports seen for the first time.
            if (!mapped && source_) {
                map_ = source_();
                mapped = true;
            }
            const QRegularExpression com(QRegularExpression::wildcardToRegularExpression(pattern),
                                         QRegularExpression::CaseInsensitiveOption);
            for (int n = 1; n <= ComPortCount; ++n) {
                const QString name = ComPortName(n);
                if (!com.match(name).hasMatch() || map_.devicePath(n).isEmpty())
                    continue;
                add({name, n - 1, QString(), QString(), QByteArray()}, map_.devicePath(n));
            }
        } else if (pattern.contains(QLatin1Char('/'))) {
            for (const QString &path : matching(pattern))
                add({path, 0, path, QString(), QByteArray()}, path);
        } else {
            const QString folder = QLatin1String(SerialByIdFolder);
            for (const QString &path : matching(folder + pattern))
                add({path.mid(folder.size()), 0, path, QString(), QByteArray()}, path);
        }
    }

    replugged_.clear();
    stillThere_.clear();
    for (auto it = known_.begin(); it != known_.end();) {
        const QByteArray identity = identityOf(*it);
        if (identity.isEmpty()) {
            it = known_.erase(it);
            continue;
        }
        if (changed.count(*it))
            replugged_.insert(*it);
        stillThere_[*it] = identity;
        ++it;
    }
    for (const FoundPort &port : ports) {
        known_.insert(port.device);
        stillThere_.erase(port.device);
        watchFolderOf(port.device);
    }
    return ports;
}
