// The real station window on a real X server, driven by real input events (xdotool: keys and
// clicks as the window system delivers them) against emulated boards; judged by its rows, the
// report and the files. The logic is the station core's, tested there: this is the window.
#include "station_window/station_window.h"
#include "support/device_process.h"
#include "support/images.h"
#include "widgets/port_lamp.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int DataSize = 262144;
const QStringList Quick{"--erase-time", "0", "--program-time", "0"};
enum Column { PortColumn, DeviceColumn, LampColumn, ProgressColumn, StatusColumn, ResultColumn };

QList<QJsonObject> records(const QString &path) {
    QList<QJsonObject> objects;
    for (const QByteArray &line : ReadFile(path).split('\n')) {
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    }
    return objects;
}

// xdotool, to the X server: what it sends is what an operator's keyboard or mouse would.
bool xdotool(const QStringList &arguments) {
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

} // namespace

class TestStationWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void eightBoardsOneFaultyStartedWithF5();
    void uploadsFromThreeBoardsByPort();
    void watchServesABoardWhoseLinkAppears();
    void stopDuringATransferLeavesNoPartialFile();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    // Shows the window filled in as the command line would, and gives it the keyboard.
    void show(const QStringList &arguments);
    void key(const char *name) { QVERIFY(xdotool({"key", "--clearmodifiers", name})); }
    // A click at `at` in the widget, its centre by default.
    void click(QWidget *widget, QPoint at = {});
    // The row's text in a column, by the port's name.
    QString cell(const QString &port, int column) const;
    int row(const QString &port) const;
    QTableWidget *table() const { return window->findChild<QTableWidget *>("TB_Boards"); }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<StationWindow> window;
};

void TestStationWindow::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestStationWindow::cleanup() {
    window.reset();
    dir.reset();
}

void TestStationWindow::show(const QStringList &arguments) {
    window = std::make_unique<StationWindow>([] { return ComPortMap(); });
    if (!arguments.isEmpty()) {
        QCommandLineParser parser;
        const StationOptions options;
        parser.addOptions(options.all());
        QVERIFY(parser.parse(QStringList{"torvane-station"} + arguments));
        StationPlan asked;
        const QString error =
            ReadStationArguments(parser, options, parser.positionalArguments(), false, &asked);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        window->fillIn(asked);
    }
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(xdotool({"windowfocus", "--sync", QString::number(window->winId())}));
    QTRY_VERIFY(window->isActiveWindow());
}

void TestStationWindow::click(QWidget *widget, QPoint at) {
    at = widget->mapToGlobal(at.isNull() ? widget->rect().center() : at);
    QVERIFY(xdotool(
        {"mousemove", "--sync", QString::number(at.x()), QString::number(at.y()), "click", "1"}));
}

int TestStationWindow::row(const QString &port) const {
    for (int r = 0; r < table()->rowCount(); ++r) {
        if (table()->item(r, PortColumn)->text() == port)
            return r;
    }
    return -1;
}

QString TestStationWindow::cell(const QString &port, int column) const {
    const int r = row(port);
    return r < 0 ? QStringLiteral("(no row)") : table()->item(r, column)->text();
}

void TestStationWindow::eightBoardsOneFaultyStartedWithF5() {
    DeviceProcess devices(QStringList{"--count", "8", "--fault", "5:erase-fail"} + Quick, 5000, 8);
    QVERIFY2(devices.slavePaths().size() == 8, qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    QStringList arguments{"download", "data", path("data.bin"), "--report", path("report.jsonl")};
    for (const QString &port : devices.slavePaths())
        arguments << "--port" << port;
    show(arguments);
    QCOMPARE(window->windowTitle().left(15), QStringLiteral("torvane station"));
    QCOMPARE(table()->rowCount(), 0); // nothing starts by itself

    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(window->running(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 60000);

    const QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 8);
    QCOMPARE(table()->rowCount(), 8);
    for (int k = 0; k < 8; ++k) {
        const QString port = devices.slavePaths()[k];
        const int r = row(port);
        QVERIFY(r >= 0);
        const bool red =
            table()->item(r, PortColumn)->background().color() == StationWindow::FailedRow;
        QJsonObject record;
        for (const QJsonObject &line : report) {
            if (line["port"].toString() == port)
                record = line;
        }
        QCOMPARE(red, k == 5);
        QCOMPARE(record["exitCode"].toInt() != 0, k == 5);
        // The row says what the record says: the verdict, the cause's words for the faulty one.
        QCOMPARE(cell(port, ResultColumn), record["result"].toString());
        if (k != 5) {
            QCOMPARE(cell(port, ResultColumn), QStringLiteral("Update Success!"));
            auto *bar = table()->cellWidget(r, ProgressColumn)->findChild<QProgressBar *>();
            QCOMPARE(bar->value(), bar->maximum());
        }
    }
    QCOMPARE(window->findChild<QLabel *>("Label_Totals")->text(),
             QStringLiteral("served 8, succeeded 7, failed 1"));
    QVERIFY(window->findChild<QLabel *>("Label_Sha256")
                ->text()
                .contains(QString::fromLatin1(report.first()["sha256"].toString().toLatin1())));
}

void TestStationWindow::uploadsFromThreeBoardsByPort() {
    DeviceProcess devices(QStringList{"--count", "3"} + Quick, 5000, 3);
    QVERIFY2(devices.slavePaths().size() == 3, qPrintable(devices.errorString()));
    QVERIFY(QDir().mkpath(path("out")));
    QStringList arguments{"upload", "data", path("out/{port}"), "--report", path("report.jsonl")};
    for (const QString &port : devices.slavePaths())
        arguments << "--port" << port;
    show(arguments);
    // The operator clicks into the file field and types another name over it.
    auto *file = window->findChild<QLineEdit *>("Edit_File");
    click(file);
    QTRY_VERIFY(file->hasFocus());
    key("ctrl+a");
    QVERIFY(xdotool({"type", "--delay", "2", path("out/back-{port}.bin")}));
    QTRY_COMPARE(file->text(), path("out/back-{port}.bin"));
    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(window->running(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 60000);

    const QStringList written = QDir(path("out")).entryList(QDir::Files);
    QCOMPARE(written.size(), 3);
    for (const QString &name : written) {
        QVERIFY(name.startsWith("back-"));
        QCOMPARE(QFileInfo(path("out/" + name)).size(), qint64(DataSize));
    }
    QCOMPARE(records(path("report.jsonl")).size(), 3);
    QCOMPARE(window->findChild<QLabel *>("Label_Totals")->text(),
             QStringLiteral("served 3, succeeded 3, failed 0"));
}

void TestStationWindow::watchServesABoardWhoseLinkAppears() {
    DeviceProcess device(Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    QVERIFY(QDir().mkpath(path("by-id")));
    show({"download", "data", path("data.bin"), "--report", path("report.jsonl")});
    // The pattern typed into the port field, Watch checked with the mouse, started with F5.
    auto *port = window->findChild<QLineEdit *>("Edit_Port");
    click(port);
    QTRY_VERIFY(port->hasFocus());
    QVERIFY(xdotool({"type", "--delay", "2", path("by-id/*")}));
    key("Return");
    QTRY_VERIFY(port->text().isEmpty());
    auto *watch = window->findChild<QCheckBox *>("CK_Watch");
    QVERIFY(!watch->isChecked());
    click(watch, {8, watch->height() / 2}); // on its box
    QTRY_VERIFY(watch->isChecked());
    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(window->running(), 5000);
    QTest::qWait(600); // a few of the watch's looks, with nothing there
    QCOMPARE(table()->rowCount(), 0);

    QVERIFY(QFile::link(device.slavePath(), path("by-id/board")));
    QTRY_COMPARE_WITH_TIMEOUT(records(path("report.jsonl")).size(), 1, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(cell(path("by-id/board"), ResultColumn),
                              QStringLiteral("Update Success!"), 5000);
    QVERIFY(window->running()); // still watching
    key("Escape");
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 10000);
    QCOMPARE(records(path("report.jsonl")).size(), 1);
}

void TestStationWindow::stopDuringATransferLeavesNoPartialFile() {
    // Paced as a real line: the upload takes minutes, and Escape comes in the middle of it.
    DeviceProcess devices(QStringList{"--count", "2", "--pace", "115200"} + Quick, 5000, 2);
    QVERIFY2(devices.slavePaths().size() == 2, qPrintable(devices.errorString()));
    QVERIFY(QDir().mkpath(path("out")));
    show({"upload", "software", path("out/back-{port}.bin"), "--report", path("report.jsonl"),
          "--port", devices.slavePaths()[0], "--port", devices.slavePaths()[1]});
    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(window->running(), 5000);
    const auto moving = [this](const QString &port) {
        const int r = row(port);
        return r >= 0 &&
               table()->cellWidget(r, ProgressColumn)->findChild<QProgressBar *>()->value() > 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(moving(devices.slavePaths()[0]) && moving(devices.slavePaths()[1]),
                             30000);
    key("Escape");
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 10000);
    // Nothing written, not even a temporary file beside a target; a record for each board.
    QCOMPARE(QDir(path("out")).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList());
    const QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 2);
    for (const QJsonObject &record : report)
        QVERIFY(record["exitCode"].toInt() != 0);
    for (const QString &port : devices.slavePaths())
        QVERIFY(table()->cellWidget(row(port), LampColumn)->findChild<PortLamp *>());
}

QTEST_MAIN(TestStationWindow)
#include "tst_station_window.moc"
