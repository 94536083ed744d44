// One instance per user and display: the test is the first instance (the real window and its
// guard), and starts the real program as the second.
#include "app/form_main.h"
#include "app/single_instance.h"

#include <QLocalSocket>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestSingleInstance : public QObject {
    Q_OBJECT
private slots:
    void init();

    void secondGuardHandsOver();
    void secondStartRestoresAMinimisedWindow();
    void secondStartBringsAnOpenBoxForward();
    void aCrashedInstanceLeavesNothingBehind();
    void eachDisplayHasAnInstanceOfItsOwn();

private:
    // Starts the real program with the test's instance name, on `display` (none: no display
    // variable, whatever the test runs under); its exit code, or -1.
    void startProgram(QProcess &process, const QString &display = QString());
    int startSecond(const QString &display = QString());
    QProcessEnvironment environment(const QString &display) const;
    bool answers(const QString &instance) const;
    QString name;
    QTemporaryDir configHome; // the program's COM numbers are kept here, never in the user's
};

void TestSingleInstance::init() {
    name = QStringLiteral("torvane-test-%1-%2")
               .arg(QCoreApplication::applicationPid())
               .arg(QTest::currentTestFunction());
}

QProcessEnvironment TestSingleInstance::environment(const QString &display) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TORVANE_INSTANCE_NAME"), name);
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("DISPLAY"));
    if (!display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display);
    return env;
}

// The real program, under this test's instance name, without a screen: the offscreen platform
// draws on no display, whatever DISPLAY says.
void TestSingleInstance::startProgram(QProcess &process, const QString &display) {
    QProcessEnvironment env = environment(display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome.path());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TORVANE_BINARY), {});
}

bool TestSingleInstance::answers(const QString &instance) const {
    QLocalSocket probe;
    probe.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    probe.connectToServer(instance);
    return probe.waitForConnected(100);
}

int TestSingleInstance::startSecond(const QString &display) {
    QProcess second;
    startProgram(second, display);
    if (!second.waitForStarted(5000))
        return -1;
    // The first instance answers from this event loop: keep it turning while we wait.
    QDeadlineTimer limit(10000);
    while (second.state() != QProcess::NotRunning && !limit.hasExpired())
        QTest::qWait(10);
    if (second.state() != QProcess::NotRunning || second.exitStatus() != QProcess::NormalExit)
        return -1;
    return second.exitCode();
}

void TestSingleInstance::secondGuardHandsOver() {
    SingleInstance first(name);
    QCOMPARE(first.claimOrHandOver(), SingleInstance::Outcome::Claimed);
    QSignalSpy requests(&first, &SingleInstance::showRequested);
    SingleInstance second(name);
    QCOMPARE(second.claimOrHandOver(), SingleInstance::Outcome::HandedOver);
    QTRY_COMPARE(requests.size(), 1);
}

void TestSingleInstance::secondStartRestoresAMinimisedWindow() {
    SingleInstance guard(name);
    QCOMPARE(guard.claimOrHandOver(), SingleInstance::Outcome::Claimed);
    TFormMain window;
    connect(&guard, &SingleInstance::showRequested, &window, &TFormMain::WMShowInstance);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.showMinimized();
    QTRY_VERIFY(window.isMinimized());

    QCOMPARE(startSecond(), 0);

    QTRY_VERIFY(!window.isMinimized());
    QVERIFY(window.isVisible());
    QTRY_VERIFY(window.isActiveWindow());
    // The second start showed no window of its own: this is still the only one.
    QCOMPARE(QApplication::topLevelWidgets().count(&window), 1);
}

void TestSingleInstance::secondStartBringsAnOpenBoxForward() {
    SingleInstance guard(name);
    QCOMPARE(guard.claimOrHandOver(), SingleInstance::Outcome::Claimed);
    TFormMain window;
    connect(&guard, &SingleInstance::showRequested, &window, &TFormMain::WMShowInstance);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"),
                    QStringLiteral("The Port you selected is used by other application!"),
                    QMessageBox::Ok, &window);
    box.setWindowModality(Qt::ApplicationModal);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    // Another program's window has the focus meanwhile.
    window.windowHandle()->requestActivate();
    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    QTRY_VERIFY(!box.isActiveWindow());

    QCOMPARE(startSecond(), 0);

    QTRY_VERIFY(box.isActiveWindow());
}

void TestSingleInstance::aCrashedInstanceLeavesNothingBehind() {
    QProcess first;
    startProgram(first);
    QVERIFY(first.waitForStarted(5000));
    // Once it answers, it holds the name.
    QTRY_VERIFY_WITH_TIMEOUT(answers(name), 10000);
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(5000));

    SingleInstance next(name);
    QCOMPARE(next.claimOrHandOver(), SingleInstance::Outcome::Claimed);
}

void TestSingleInstance::eachDisplayHasAnInstanceOfItsOwn() {
    // The first instance, on display :91.
    SingleInstance first(SingleInstance::NameFor(environment(QStringLiteral(":91"))));
    QCOMPARE(first.claimOrHandOver(), SingleInstance::Outcome::Claimed);
    QSignalSpy requests(&first, &SingleInstance::showRequested);

    // A start on :92 is the first there: it stays, and answers on a name of its own.
    const QString otherName = SingleInstance::NameFor(environment(QStringLiteral(":92")));
    QVERIFY(otherName != first.name());
    QProcess other;
    startProgram(other, QStringLiteral(":92"));
    QVERIFY(other.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(answers(otherName), 10000);
    QCOMPARE(other.state(), QProcess::Running);
    other.kill();
    QVERIFY(other.waitForFinished(5000));
    QCOMPARE(requests.size(), 0);

    // Another screen of :91 is that display: the start hands over to the first.
    QCOMPARE(startSecond(QStringLiteral(":91.1")), 0);
    QTRY_COMPARE(requests.size(), 1);
}

QTEST_MAIN(TestSingleInstance)
#include "tst_single_instance.moc"
