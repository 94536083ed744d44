#include "link/tmscomm.h"

#include "link/adapter_latency.h"
#include "link/comm_error.h"

#include <QThread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Longest wait for written bytes to leave the line before a purge goes ahead anyway.
constexpr auto DrainLimit = 2s;

} // namespace

TMSComm::TMSComm() = default;

TMSComm::~TMSComm() {
    closePort();
}

bool TMSComm::PortOpen() const {
    return line_ != nullptr;
}

void TMSComm::setCommPort(int port) {
    if (port < 1 || port > 10)
        throw CommError(CommError::Kind::InvalidValue,
                        QStringLiteral("Port number %1 is out of range").arg(port));
    commPort_ = port;
}

void TMSComm::setSettings(const QString &settings) {
    if (!ParseLineSettings(settings, nullptr))
        throw CommError(CommError::Kind::InvalidValue,
                        QStringLiteral("Invalid line settings \"%1\"").arg(settings));
    settings_ = settings;
}

void TMSComm::setInputMode(int mode) {
    if (mode != comInputModeText && mode != comInputModeBinary)
        throw CommError(CommError::Kind::InvalidValue, QStringLiteral("Invalid input mode"));
    inputMode_ = mode;
}

void TMSComm::setInputLen(int length) {
    if (length < 0)
        throw CommError(CommError::Kind::InvalidValue, QStringLiteral("Invalid input length"));
    inputLen_ = length;
}

QString TMSComm::DevicePathFor(int port) {
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

TMSComm::PortTarget TMSComm::comTarget() const {
    if (!resolve_)
        return {DevicePathFor(commPort_), QString()};
    PortTarget target = resolve_(commPort_);
    if (target.device.isEmpty())
        throw CommError(CommError::Kind::OpenFailed, target.whyNone);
    return target;
}

void TMSComm::setPortOpen(bool open) {
    if (!open) {
        closePort();
        return;
    }
    if (line_)
        return;
    LineSettings settings;
    ParseLineSettings(settings_, &settings);
    PortCheck check = check_;
    QString path = portPath_;
    if (path.isEmpty()) {
        const PortTarget target = comTarget();
        path = target.device;
        if (target.byHand)
            check.judge = nullptr;
    }
    line_ = opener_ ? opener_(path, settings) : OpenSerialLine(path, settings, note_, check);
    received_.clear();
    adapterLatency_ = AdapterLatencyTimer(path);
}

void TMSComm::closePort() {
    line_.reset();
    received_.clear();
}

void TMSComm::requireOpen(const char *what) const {
    if (!line_)
        throw CommError(CommError::Kind::PortClosed,
                        QStringLiteral("%1: the port is not open").arg(QLatin1String(what)));
}

// A device lost on the way closes the port, so the next use reports it closed.
template <class Use> auto TMSComm::use(Use &&action) {
    try {
        return action(*line_);
    } catch (const CommError &e) {
        if (e.kind() == CommError::Kind::DeviceLost)
            closePort();
        throw;
    }
}

int TMSComm::InBufferCount() {
    requireOpen("InBufferCount");
    use([this](SerialLine &line) { line.read(received_, 0, 0ns); });
    return int(received_.size());
}

void TMSComm::setInBufferCount(int count) {
    requireOpen("InBufferCount");
    if (count != 0)
        return;
    line_->discardInput();
    received_.clear();
}

int TMSComm::OutBufferCount() const {
    requireOpen("OutBufferCount");
    return line_->pendingOutput();
}

void TMSComm::setOutBufferCount(int count) {
    requireOpen("OutBufferCount");
    if (count != 0)
        return;
    // Bytes already written are on their way to the device: let them leave, never drop them.
    const auto until = Clock::now() + DrainLimit;
    while (OutBufferCount() > 0 && Clock::now() < until)
        QThread::usleep(50);
}

void TMSComm::setOutput(const QByteArray &data) {
    requireOpen("Output");
    use([&data](SerialLine &line) { line.write(data); });
    if (trace_)
        trace_(Direction::Sent, data);
}

QByteArray TMSComm::Input() {
    requireOpen("Input");
    if (inputLen_ == 0 || received_.size() < inputLen_)
        use([this](SerialLine &line) { line.read(received_, 0, 0ns); });
    const qsizetype n =
        inputLen_ == 0 ? received_.size() : qMin<qsizetype>(inputLen_, received_.size());
    QByteArray data = received_.left(n);
    received_.remove(0, n);
    if (trace_ && !data.isEmpty())
        trace_(Direction::Received, data);
    return data;
}

void TMSComm::WaitInput(int wanted, std::chrono::nanoseconds limit) {
    requireOpen("InBufferCount");
    if (received_.size() >= wanted)
        return;
    use([&](SerialLine &line) { line.read(received_, wanted, limit); });
}

void TMSComm::PollPause(int wanted) {
    requireOpen("InBufferCount");
    // The caller has just looked at what is waiting: wait for more, and wake as soon as the
    // reply is complete.
    if (received_.size() >= wanted)
        return;
    use([&](SerialLine &line) { line.read(received_, wanted, pollPause_); });
}
