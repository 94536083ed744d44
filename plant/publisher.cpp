#include "plant/publisher.h"

#include "plant/counted.h"
#include "plant/delivery.h"
#include "plant/outbox.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QUuid>

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
// Another station holds the outbox: how often to see whether it still does.
constexpr auto OtherDelivererLook = 2s;

int milliseconds(Clock::duration time) {
    return int(
        std::max<qint64>(0, std::chrono::duration_cast<std::chrono::milliseconds>(time).count()));
}

QByteArray clientId() {
    // Unique, so that two stations never push each other off the broker; within the 23
    // characters every broker takes.
    return "torvane-" +
           QByteArray::number(QRandomGenerator::system()->generate64() & 0xffffffffffffULL, 16);
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

Publisher::Publisher(PublishSettings settings) : settings_(std::move(settings)) {}

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
    outbox_ = std::make_unique<Outbox>(folder());
    if (!outbox_->open(why))
        return false;
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = QStringLiteral("cannot start publishing: %1").arg(qt_error_string(errno));
        return false;
    }
    if (const qint64 waiting = outbox_->count(); waiting > 0)
        note(QStringLiteral("%1 from before %2 in the outbox %3; %4 first")
                 .arg(Counted(waiting, "record", "records"), ForCount(waiting, "waits", "wait"),
                      outbox_->folder(), ForCount(waiting, "it goes out", "they go out")));
    // The default outbox is one for each broker and topic: records left for an address no
    // longer used would wait there unseen.
    if (settings_.outbox.isEmpty()) {
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
    try {
        thread_ = std::thread([this] { deliver(); });
    } catch (const std::system_error &error) {
        *why =
            QStringLiteral("cannot start publishing: %1").arg(QString::fromLocal8Bit(error.what()));
        return false;
    }
    return true;
}

bool Publisher::add(QJsonObject record, QString *why) {
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record.insert(QStringLiteral("id"), id);
    record.insert(QStringLiteral("station"), settings_.station);
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
        *why = QStringLiteral("the outbox %1 is full (%2): this record is not published%3")
                   .arg(outbox_->folder(), Counted(outbox_->count(), "record", "records"),
                        reported_ ? QStringLiteral("; the report keeps it")
                                  : QStringLiteral(", and with no report it is lost"));
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

void Publisher::setReported(bool reported) {
    const std::lock_guard<std::mutex> lock(mutex_);
    reported_ = reported;
}

void Publisher::finish(std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> lock(mutex_);
    const Clock::time_point until = Clock::now() + patience;
    while (outbox_->count() > 0 && state_.why.isEmpty() && !stopping_ && Clock::now() < until)
        changed_.wait_for(lock, 50ms);
    stopping_ = true;
    lock.unlock();
    wake();
    if (thread_.joinable())
        thread_.join();
    lock.lock();
    state_.waiting = outbox_->count();
    // Why they wait was said when it began.
    if (state_.waiting > 0)
        notes_ << QStringLiteral("%1 %2 in the outbox %3%4; %5 when the broker takes %6, with "
                                 "the next run")
                      .arg(Counted(state_.waiting, "record", "records"),
                           ForCount(state_.waiting, "waits", "wait"), outbox_->folder(),
                           state_.why.isEmpty()
                               ? QStringLiteral(" (the run ended before the broker took %1)")
                                     .arg(ForCount(state_.waiting, "it", "them"))
                               : QString(),
                           ForCount(state_.waiting, "it goes out", "they go out"),
                           ForCount(state_.waiting, "it", "them"));
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
        notes_ << QStringLiteral("records will wait: %1 (they are kept in the outbox %2)")
                      .arg(why, outbox_->folder());
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
        if (!outbox_->deliver()) {
            const qint64 other = outbox_->deliverer();
            setWhy(QStringLiteral("another station%1 delivers this outbox; they go out with its")
                       .arg(other > 0 ? QStringLiteral(" (process %1)").arg(other) : QString()));
            rest(OtherDelivererLook);
            continue;
        }
        if (connectAndSend())
            retry = FirstRetry;
        rest(retry);
        retry = std::min<Clock::duration>(retry * 2, LastRetry);
    }
    lookup_.stop();
}

std::optional<BrokerConnection::Setup> Publisher::connectionSetup() {
    BrokerConnection::Setup setup;
    setup.broker = settings_.broker;
    setup.password = settings_.password;
    setup.caFile = settings_.caFile;
    setup.clientId = clientId();
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
    for (;;) {
        connection.wait(wake_[0],
                        delivery.pauseMs(connection.state() == BrokerConnection::State::Connected));
        drainWake();
        std::vector<std::string> came;
        if (!takeIncoming(&came))
            return connected;
        delivery.take(std::move(came));
        acknowledged(delivery.settle());
        switch (connection.state()) {
        case BrokerConnection::State::Failed:
            // What was sent and not acknowledged stays in the outbox, and goes again.
            setWhy(connection.why());
            return connected;
        case BrokerConnection::State::Connecting:
            if (Clock::now() > deadline) {
                setWhy(QStringLiteral("no answer from the broker %1").arg(settings_.broker.text()));
                return false;
            }
            continue;
        case BrokerConnection::State::Connected:
            break;
        }
        connected = true;
        setWhy(QString());
        delivery.look();
        QStringList asides;
        delivery.send(&asides);
        for (const QString &aside : asides)
            note(aside);
        delivery.sweep();
    }
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
