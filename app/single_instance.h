#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QProcessEnvironment;

// Keeps the tool to one running instance per user and display. The first start claims a local
// name and listens on it; a later start finds the name taken, asks the holder to come forward,
// and ends. A start on another display (a second seat, a remote desktop) is the first there.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // The window class name by which a later start finds the running instance.
    static constexpr const char *ClassName = "TORVANE 1.0.07B-V001";

    // The name derived from the class name, the user and the display (DISPLAY, WAYLAND_DISPLAY)
    // of `environment`; TORVANE_INSTANCE_NAME replaces the class name and the user.
    static QString NameFor(const QProcessEnvironment &environment);
    static QString DefaultName();

    explicit SingleInstance(const QString &name, QObject *parent = nullptr);
    ~SingleInstance() override;

    enum class Outcome {
        Claimed,    // this is the first instance: it now answers later starts
        HandedOver, // another instance runs and was asked to come forward: end quietly
    };
    // A name that is held but does not answer (left behind where names are files) is taken over.
    Outcome claimOrHandOver();

    QString name() const { return name_; }

signals:
    // A later start asked this instance to come forward.
    void showRequested();

private:
    bool listen();
    bool handOver();
    void acceptRequests();

    QString name_;
    QLocalServer *server_ = nullptr;
};
