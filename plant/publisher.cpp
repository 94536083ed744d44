#include "plant/publisher.h"

#include "base/counted.h"
#include "plant/broker_connection.h"
#include "plant/delivery.h"
#include "plant/outbox.h"
#include "base/state_folder.h"
#include "plant/station_status.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A connection not made by then is given up and tried again.
constexpr auto ConnectTimeout = 15s;
// Between tries: sooner at first, then every half minute while the broker stays away.
constexpr auto FirstRetry = 1s;
constexpr auto LastRetry = 30s;
// Another station holds the outbox, or another process of this station is connected: how often
// to see whether it still does.
constexpr auto OtherHolderLook = 2s;
// At the end, a broker that has taken nothing for this long is not waited for: the records wait
// for the next run, and a silent broker costs a run at most two seconds, the station's
// "offline" and its own end included.
constexpr auto EndStall = 1500ms;
// The station's status: refreshed at each change, at most this often, and at least each minute.
constexpr auto StatusAtMost = 1s;
constexpr auto StatusEvery = 60s;
// What the end gives the broker to take the station's "offline".
constexpr auto OfflineWait = 300ms;

int milliseconds(Clock::duration time) {
    return int(
        std::max<qint64>(0, std::chrono::duration_cast<std::chrono::milliseconds>(time).count()));
}

} // namespace

QString PublishStateText(const PublishState &state) {
    QString text = QStringLiteral("records: %1 published, %2 waiting")
                       .arg(QString::number(state.delivered), QString::number(state.waiting));
    if (!state.why.isEmpty() && state.waiting > 0)
        text += QStringLiteral(" for the broker");
    if (state.notKept > 0)
        text += QStringLiteral(", %1 not kept").arg(state.notKept);
    return text;
}

Publisher::Publisher(PublishSettings settings)
    : settings_(std::move(settings)),
      station_(StateFolder() + QStringLiteral("/stations/") +
               QString::fromLatin1(ClientId(settings_)) + QStringLiteral(".lock")) {}

Publisher::~Publisher() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable())
        thread_.join();
    for (int fd : wake_)
        if (fd >= 0)
            ::close(fd);
}

QString Publisher::folder() const {
    return OutboxFolder(settings_);
}

bool Publisher::start(QString *why) {
    outbox_ =
        std::make_unique<Outbox>(folder(), StateFolder() + QStringLiteral("/outbox/seal.key"));
    if (!outbox_->open(why))
        return false;
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = QStringLiteral("cannot start publishing: %1").arg(qt_error_string(errno));
        return false;
    }
    noteOutboxes();
    try {
        thread_ = std::thread([this] { deliver(); });
    } catch (const std::system_error &error) {
        *why =
            QStringLiteral("cannot start publishing: %1").arg(QString::fromLocal8Bit(error.what()));
        return false;
    }
    return true;
}

void Publisher::noteOutboxes() {
    if (const qint64 waiting = outbox_->count(); waiting > 0)
        note(QStringLiteral("%1 from before %2 in the outbox %3; %4 first")
                 .arg(Counted(waiting, "record", "records"), ForCount(waiting, "waits", "wait"),
                      outbox_->folder(), ForCount(waiting, "it goes out", "they go out")));
    // The default outbox is one for each broker and topic: records left for an address no
    // longer used would wait there unseen.
    if (!settings_.outbox.isEmpty())
        return;
    const QDir outboxes = QFileInfo(outbox_->folder()).dir();
    for (const QFileInfo &other : outboxes.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (other.absoluteFilePath() == QFileInfo(outbox_->folder()).absoluteFilePath())
            continue;
        const qsizetype left = QDir(other.absoluteFilePath())
                                   .entryList({QStringLiteral("*.json")}, QDir::Files)
                                   .size();
        if (left > 0)
            note(QStringLiteral("%1 %2 in the outbox %3 for another broker or topic; move "
                                "%4 into %5 to send %4 to this one")
                     .arg(Counted(left, "record", "records"), ForCount(left, "waits", "wait"),
                          other.absoluteFilePath(), ForCount(left, "it", "them"),
                          outbox_->folder()));
    }
}

bool Publisher::add(const QJsonObject &record, QString *why) {
    const QString id = record.value(QStringLiteral("id")).toString();
    std::string name;
    switch (outbox_->add(QJsonDocument(record).toJson(QJsonDocument::Compact), id, &name, why)) {
    case Outbox::Added::Kept: {
        const std::lock_guard<std::mutex> lock(mutex_);
        incoming_.push_back(std::move(name));
        break;
    }
    case Outbox::Added::Full: {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++state_.notKept;
        // The oldest records stay: each of them was promised to the broker, and they are the
        // ones the plant has been without longest.
        *why = QStringLiteral("the outbox %1 is full (%2)")
                   .arg(outbox_->folder(), Counted(outbox_->count(), "record", "records"));
        if (!fullSaid_) {
            fullSaid_ = true;
            const qint64 full = outbox_->count();
            notes_ << QStringLiteral("THE OUTBOX IS FULL: %1 %2 in %3, and the records of boards "
                                     "from now on are not published until the broker has taken "
                                     "some%4")
                          .arg(Counted(full, "record", "records"), ForCount(full, "waits", "wait"),
                               outbox_->folder(),
                               reported_ ? QStringLiteral("; the report keeps them")
                                         : QStringLiteral("; with no report, THEY ARE LOST"));
        }
        return false;
    }
    case Outbox::Added::Failed: {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++state_.notKept;
        return false;
    }
    }
    wake();
    return true;
}

void Publisher::boardBegan() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
        statusChanged_ = true;
    }
    wake();
}

void Publisher::boardEnded() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        ++done_;
        statusChanged_ = true;
    }
    wake();
}

void Publisher::setReported(bool reported) {
    const std::lock_guard<std::mutex> lock(mutex_);
    reported_ = reported;
}

void Publisher::finish(std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> lock(mutex_);
    const Clock::time_point until = Clock::now() + patience;
    Clock::time_point stall = Clock::now() + EndStall;
    qint64 delivered = state_.delivered;
    bool stalled = false;
    while (outbox_->count() > 0 && state_.why.isEmpty() && !stopping_) {
        const Clock::time_point now = Clock::now();
        if (state_.delivered != delivered) {
            delivered = state_.delivered;
            stall = now + EndStall;
        }
        stalled = now >= stall;
        if (stalled || now >= until)
            break;
        changed_.wait_until(lock, std::min(until, stall));
    }
    stopping_ = true;
    lock.unlock();
    wake();
    if (thread_.joinable())
        thread_.join();
    // Counted on the disk: another station may have delivered this one's records.
    outbox_->oldest(0);
    lock.lock();
    state_.waiting = outbox_->count();
    noteLeft(stalled);
}

void Publisher::noteLeft(bool stalled) {
    const qint64 waiting = state_.waiting;
    if (waiting == 0)
        return;
    // Why they wait was said when it began; else it is what the broker had not done yet.
    QString why;
    if (stalled && !stage_.isEmpty())
        why = QStringLiteral(": %1").arg(stage_);
    else if (state_.why.isEmpty())
        why = QStringLiteral(" (the run ended before the broker took %1)")
                  .arg(ForCount(waiting, "it", "them"));
    notes_ << QStringLiteral("%1 %2 in the outbox %3%4; %5 when the broker takes %6, with the "
                             "next run")
                  .arg(Counted(waiting, "record", "records"), ForCount(waiting, "waits", "wait"),
                       outbox_->folder(), why, ForCount(waiting, "it goes out", "they go out"),
                       ForCount(waiting, "it", "them"));
}

PublishState Publisher::state() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    PublishState state = state_;
    if (outbox_)
        state.waiting = outbox_->count();
    return state;
}

QStringList Publisher::takeNotes() {
    const std::lock_guard<std::mutex> lock(mutex_);
    QStringList notes;
    notes.swap(notes_);
    return notes;
}

void Publisher::note(const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    notes_ << text;
}

void Publisher::setWhy(const QString &why) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (why == state_.why)
        return;
    // Why first: a line cut to the room there is keeps what matters.
    if (!why.isEmpty() && outbox_->count() == 0)
        notes_
            << QStringLiteral("records will wait in the outbox %2: %1").arg(why, outbox_->folder());
    else if (const qint64 waiting = outbox_->count(); !why.isEmpty())
        notes_ << QStringLiteral("%1 %2: %3 (%4 kept in the outbox %5)")
                      .arg(Counted(waiting, "record", "records"),
                           ForCount(waiting, "waits", "wait"), why,
                           ForCount(waiting, "it is", "they are"), outbox_->folder());
    else
        notes_ << QStringLiteral("the broker %1 takes the records again (%2 waiting)")
                      .arg(settings_.broker.text(), QString::number(outbox_->count()));
    state_.why = why;
    changed_.notify_all();
}

void Publisher::setStage(const QString &stage) {
    const std::lock_guard<std::mutex> lock(mutex_);
    stage_ = stage;
}

void Publisher::wake() {
    if (wake_[1] >= 0)
        (void)!::write(wake_[1], "", 1);
}

void Publisher::rest(Clock::duration time) {
    const Clock::time_point until = Clock::now() + time;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (stopping() || now >= until)
            return;
        pollfd fd{wake_[0], POLLIN, 0};
        ::poll(&fd, 1, milliseconds(until - now));
        drainWake();
    }
}

void Publisher::deliver() {
    // A broker that drops the connection while a record is written must not end the station.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    Clock::duration retry = FirstRetry;
    while (!stopping()) {
        if (!holdStation()) {
            rest(OtherHolderLook);
            continue;
        }
        if (connectAndSend())
            retry = FirstRetry;
        rest(retry);
        retry = std::min<Clock::duration>(retry * 2, LastRetry);
    }
    lookup_.stop();
}

bool Publisher::holdStation() {
    QString why;
    // Without its lock (the state folder cannot be written) the station connects all the same:
    // the lock only keeps two of its processes from pushing each other off the broker.
    if (!QDir().mkpath(QFileInfo(station_.path()).absolutePath()) || !station_.open(&why) ||
        station_.take())
        return true;
    const qint64 other = station_.holder();
    setWhy(QStringLiteral("the station %1 is connected to the broker from another process%2; "
                          "this one's records go out when it ends, or with it when it delivers "
                          "this outbox")
               .arg(settings_.station, other > 0 ? QStringLiteral(" (%1)").arg(other) : QString()));
    return false;
}

std::optional<BrokerConnection::Setup> Publisher::connectionSetup() {
    BrokerConnection::Setup setup;
    setup.broker = settings_.broker;
    setup.password = settings_.password;
    setup.caFile = settings_.caFile;
    setup.certFile = settings_.certFile;
    setup.keyFile = settings_.keyFile;
    setup.clientId = ClientId(settings_);
    setup.statusTopic = StatusTopic(settings_).toUtf8();
    setup.will = LastWill(settings_.station);
    QString why;
    // Read at each try: a password mended in its file counts without a restart.
    if (!settings_.passwordFile.isEmpty() &&
        !ReadSecretFile(settings_.passwordFile, &setup.password, &why)) {
        setWhy(why);
        return std::nullopt;
    }
    return setup;
}

bool Publisher::lookUp(Clock::time_point deadline) {
    lookup_.start(settings_.broker.host);
    setStage(QStringLiteral("the broker's host %1 has not been found yet (its name lookup has "
                            "not answered)")
                 .arg(settings_.broker.host));
    while (lookup_.state() == NameLookup::State::Looking) {
        const Clock::time_point now = Clock::now();
        if (stopping())
            return false;
        if (now >= deadline) {
            lookup_.stop();
            setWhy(
                QStringLiteral("the broker's host %1 was not found in %2 s: its name lookup "
                               "does not answer")
                    .arg(settings_.broker.host)
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(ConnectTimeout).count()));
            return false;
        }
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {lookup_.descriptor(), POLLIN, 0}};
        ::poll(fds, 2, milliseconds(deadline - now));
        drainWake();
    }
    if (lookup_.state() == NameLookup::State::NotFound) {
        setWhy(QStringLiteral("the broker's host %1 was not found").arg(settings_.broker.host));
        return false;
    }
    return true;
}

bool Publisher::connectAndSend() {
    const std::optional<BrokerConnection::Setup> setup = connectionSetup();
    const Clock::time_point deadline = Clock::now() + ConnectTimeout;
    if (!setup || !lookUp(deadline))
        return false;
    BrokerConnection connection(*setup);
    connection.start();
    Delivery delivery(*outbox_, connection);
    bool connected = false;
    statusSaid_ = {};
    deliveryLook_ = {};
    for (;;) {
        connection.wait(wake_[0],
                        delivery.pauseMs(connection.state() == BrokerConnection::State::Connected,
                                         outbox_->delivers()));
        drainWake();
        std::vector<std::string> came;
        if (!takeIncoming(&came)) {
            if (connected)
                sayOffline(connection);
            return connected;
        }
        delivery.take(std::move(came));
        acknowledged(delivery.settle());
        if (!connectionUp(connection, delivery, deadline, &connected))
            return connected;
        sayStatus(connection);
        if (!delivers())
            continue;
        setWhy(QString());
        delivery.look();
        QStringList asides;
        delivery.send(&asides);
        for (const QString &aside : asides)
            note(aside);
        delivery.sweep();
    }
}

bool Publisher::connectionUp(const BrokerConnection &connection, const Delivery &delivery,
                             Clock::time_point deadline, bool *given) {
    switch (connection.state()) {
    case BrokerConnection::State::Failed:
        // What was sent and not acknowledged stays in the outbox, and goes again.
        setWhy(connection.why());
        return false;
    case BrokerConnection::State::Connecting:
        setStage(QStringLiteral("the broker %1 has not answered the connection")
                     .arg(settings_.broker.text()));
        if (Clock::now() <= deadline)
            return true;
        setWhy(QStringLiteral("no answer from the broker %1 in %2 s")
                   .arg(settings_.broker.text())
                   .arg(std::chrono::duration_cast<std::chrono::seconds>(ConnectTimeout).count()));
        return false;
    case BrokerConnection::State::Connected:
        break;
    }
    *given = true;
    setStage(
        delivery.unacknowledged()
            ? QStringLiteral("the broker %1 has not acknowledged them").arg(settings_.broker.text())
            : QString());
    return true;
}

bool Publisher::delivers() {
    const Clock::time_point now = Clock::now();
    if (outbox_->delivers() || now - deliveryLook_ < OtherHolderLook)
        return outbox_->delivers();
    deliveryLook_ = now;
    if (outbox_->deliver())
        return true;
    // The other station takes this one's records out too: the count follows the disk.
    outbox_->oldest(0);
    const qint64 other = outbox_->deliverer();
    setWhy(QStringLiteral("another station%1 delivers this outbox; they go out with its")
               .arg(other > 0 ? QStringLiteral(" (process %1)").arg(other) : QString()));
    return false;
}

QByteArray Publisher::statusNow(bool online) {
    StationStatus status;
    status.online = online;
    status.station = settings_.station;
    status.backlog = outbox_->count();
    const std::lock_guard<std::mutex> lock(mutex_);
    status.running = running_;
    status.done = done_;
    statusChanged_ = false;
    return StatusMessage(status);
}

void Publisher::sayStatus(BrokerConnection &connection) {
    if (connection.state() != BrokerConnection::State::Connected)
        return;
    const Clock::time_point now = Clock::now();
    bool changed = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        changed = statusChanged_ || outbox_->count() != backlogSaid_;
    }
    const bool due = statusSaid_ == Clock::time_point{} || now - statusSaid_ >= StatusEvery ||
                     (changed && now - statusSaid_ >= StatusAtMost);
    if (!due)
        return;
    backlogSaid_ = outbox_->count();
    statusSaid_ = now;
    connection.publishStatus(statusNow(true));
}

void Publisher::sayOffline(BrokerConnection &connection) {
    if (connection.state() != BrokerConnection::State::Connected ||
        connection.publishStatus(statusNow(false)) < 0)
        return;
    const Clock::time_point until = Clock::now() + OfflineWait;
    while (!connection.statusTaken() && connection.state() == BrokerConnection::State::Connected &&
           Clock::now() < until)
        connection.wait(-1, milliseconds(until - Clock::now()));
}

bool Publisher::stopping() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

void Publisher::drainWake() {
    char drained[64];
    while (::read(wake_[0], drained, sizeof drained) > 0) {
    }
}

bool Publisher::takeIncoming(std::vector<std::string> *came) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
        return false;
    came->swap(incoming_);
    return true;
}

void Publisher::acknowledged(qint64 count) {
    if (count == 0)
        return;
    const std::lock_guard<std::mutex> lock(mutex_);
    state_.delivered += count;
    if (fullSaid_ && outbox_->count() < outbox_->limit()) {
        fullSaid_ = false;
        notes_ << QStringLiteral("the outbox %1 has room again").arg(outbox_->folder());
    }
    changed_.notify_all();
}
