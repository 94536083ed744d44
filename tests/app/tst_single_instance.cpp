// One instance per user: the test is the first instance (the real window and its guard), and
// starts the real program as the second.
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

private:
    // Starts the real program with the test's instance name; its exit code, or -1.
    void startProgram(QProcess &process);
    int startSecond();
    QString name;
    QTemporaryDir configHome; // the program's COM numbers are kept here, never in the user's
};

void TestSingleInstance::init() {
    name = QStringLiteral("torvane-test-%1-%2")
               .arg(QCoreApplication::applicationPid())
               .arg(QTest::currentTestFunction());
}

// The real program, under this test's instance name, without a screen.
void TestSingleInstance::startProgram(QProcess &process) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TORVANE_INSTANCE_NAME"), name);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome.path());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TORVANE_BINARY), {});
}

int TestSingleInstance::startSecond() {
    QProcess second;
    startProgram(second);
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
    QTRY_VERIFY_WITH_TIMEOUT(
        [this] {
            QLocalSocket probe;
            probe.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
            probe.connectToServer(name);
            return probe.waitForConnected(100);
        }(),
        10000);
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(5000));

    SingleInstance next(name);
    QCOMPARE(next.claimOrHandOver(), SingleInstance::Outcome::Claimed);
}

QTEST_MAIN(TestSingleInstance)
#include "tst_single_instance.moc"
