// The real station window on a real X server, driven by real input events (xdotool: keys and
// clicks as the window system delivers them) against emulated boards; judged by its rows, the
// banner, the report, the files and what a real sound server played. The logic is the station
// core's, tested there: this is the window.
#include "station/station_arguments.h"
#include "station_window/batch_banner.h"
#include "station_window/board_rows.h"
#include "station_window/station_window.h"
#include "station_window/window_arguments.h"
#include "support/device_process.h"
#include "support/images.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <optional>

#include <sys/resource.h>

namespace {

constexpr int DataSize = 262144;
// What an operator reads in the row of a board whose erase failed.
const QString causeOfErase = QStringLiteral("the device could not erase its flash");
const QStringList Quick{"--erase-time", "0", "--program-time", "0"};

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

bool control(const QString &folder, const QByteArray &command) {
    QFile pipe(QDir(folder).filePath(QStringLiteral("control")));
    return pipe.open(QIODevice::WriteOnly) && pipe.write(command + '\n') == command.size() + 1;
}

// The loudest sample of a raw recording (16-bit, little-endian).
int loudest(const QString &path) {
    const QByteArray bytes = ReadFile(path);
    int most = 0;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        most =
            std::max(most, std::abs(int(qint16(quint8(bytes[i]) | (quint8(bytes[i + 1]) << 8)))));
    return most;
}

// A sound server of the test's own with a null sink, and a recording of everything played on it.
class SoundSink {
public:
    explicit SoundSink(const QString &folder) : folder_(folder) {
        const QString socket = QDir(folder).filePath(QStringLiteral("native"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder);
        environment.insert(QStringLiteral("HOME"), folder);
        server_.setProcessEnvironment(environment);
        server_.start(QStringLiteral("pulseaudio"),
                      {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                       "--use-pid-file=no", "--system=no",
                       "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket,
                       "--load=module-null-sink sink_name=station"});
        if (!server_.waitForStarted())
            return;
        address_ = QStringLiteral("unix:") + socket;
        // The window's sounds go to this server, and are recorded from its sink's monitor.
        qputenv("PULSE_SERVER", address_.toLocal8Bit());
        for (int tries = 0; tries < 100; ++tries) {
            if (QProcess::execute(QStringLiteral("pactl"), {"--server", address_, "info"}) == 0)
                break;
            QTest::qWait(100);
        }
        recording_.setProcessEnvironment(environment);
        recording_.start(QStringLiteral("parecord"),
                         {"--server", address_, "--device", "station.monitor", "--latency-msec=50",
                          "--raw", "--format=s16le", "--channels=1", "--rate=8000", path()});
        recording_.waitForStarted();
    }
    ~SoundSink() {
        for (QProcess *process : {&recording_, &server_}) {
            if (process->state() == QProcess::NotRunning)
                continue;
            ::kill(pid_t(process->processId()), SIGINT);
            if (!process->waitForFinished(5000))
                process->kill();
        }
        qunsetenv("PULSE_SERVER");
    }
    bool ready() const { return recording_.state() == QProcess::Running; }
    QString path() const { return QDir(folder_).filePath(QStringLiteral("played.raw")); }

private:
    QString folder_;
    QString address_;
    QProcess server_;
    QProcess recording_;
};

} // namespace

class TestStationWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void eightBoardsOneFaultyStartedWithF5();
    void soundsOnARealSink_data();
    void soundsOnARealSink();
    void uploadsFromThreeBoardsByPort();
    void recipeOpensLockedAndRefusesAnotherImage();
    void aJobSetUpByKeysRunsAndRunsAgainFromItsRecipe();
    void lotCountsRetriesAndARestart();
    void watchKeepsABoardsSlotAndItsRedWhenPulledOut();
    void stopDuringATransferLeavesNoPartialFile();
    void sigtermEndsTheWindowInterrupted();
    void aReportPipeWhoseReaderWentKillsNothing();

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
    BoardState state(const QString &port) const;
    // Starts the program with `arguments` on the X server and presses F5 in its window.
    void startProgram(QProcess &station, const QStringList &arguments);
    QTableView *table() const { return window->findChild<QTableView *>("TB_Boards"); }
    QString totals() const { return window->findChild<QLabel *>("Label_Totals")->text(); }
    BatchBanner *banner() const { return window->findChild<BatchBanner *>("Label_Banner"); }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<StationWindow> window;
};

void TestStationWindow::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    // The lots are kept in a state folder of the test's own.
    qputenv("XDG_STATE_HOME", path("state").toLocal8Bit());
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
        const QStringList given = QStringList{"torvane-station"} + arguments;
        QVERIFY(parser.parse(given));
        StationPlan asked;
        const QString error = ReadStationArguments(parser, options, given, false, &asked);
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
    QAbstractItemModel *model = table()->model();
    for (int r = 0; r < model->rowCount(); ++r) {
        if (model->index(r, BoardRows::PortColumn).data().toString() == port)
            return r;
    }
    return -1;
}

QString TestStationWindow::cell(const QString &port, int column) const {
    const int r = row(port);
    return r < 0 ? QStringLiteral("(no row)")
                 : table()->model()->index(r, column).data().toString();
}

BoardState TestStationWindow::state(const QString &port) const {
    const int r = row(port);
    return r < 0 ? BoardState::Waiting
                 : BoardState(table()->model()->index(r, 0).data(BoardRows::StateRole).toInt());
}

void TestStationWindow::eightBoardsOneFaultyStartedWithF5() {
    // One board fails its erase, another is lost in the middle of its data.
    DeviceProcess devices(QStringList{"--count", "8", "--link-dir", path("boards"), "--fault",
                                      "5:erase-fail", "--fault", "2:hangup-after=100"} +
                              Quick,
                          5000, 8);
    QVERIFY2(devices.slavePaths().size() == 8, qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    // Given last to first: the slots keep that order, whatever order the boards end in.
    QStringList given;
    for (int k = 7; k >= 0; --k)
        given << path(QStringLiteral("boards/tty%1").arg(k));
    QStringList arguments{"download", "data", path("data.bin"), "--report", path("report.jsonl")};
    for (const QString &port : given)
        arguments << "--port" << port;
    show(arguments);
    QCOMPARE(window->windowTitle().left(15), QStringLiteral("torvane station"));
    QCOMPARE(table()->model()->rowCount(), 0); // nothing starts by itself

    // Descriptors for about two boards at once (the station keeps 16 for itself, a board takes
    // 4): the others wait their turn. The limit is back once the run has counted them.
    rlimit limit{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
    rlimit tight = limit;
    tight.rlim_cur = rlim_t(QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                                .size() +
                            16 + 10);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &tight) == 0);
    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(window->running(), 5000);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &limit) == 0);
    // Seen at one moment: a board waiting its turn says so and why, its lamp out (it holds no
    // port) and its seconds not counting; the counts tell those waiting from those running.
    struct Seen {
        BoardState state;
        QString status;
        bool held;
        QString seconds;
    };
    QList<Seen> seen;
    QString counts;
    const auto look = [&] {
        seen.clear();
        QAbstractItemModel *model = table()->model();
        for (int r = 0; r < model->rowCount(); ++r)
            seen.append({BoardState(model->index(r, 0).data(BoardRows::StateRole).toInt()),
                         model->index(r, BoardRows::StatusColumn).data().toString(),
                         model->index(r, 0).data(BoardRows::HeldRole).toBool(),
                         model->index(r, BoardRows::SecondsColumn).data().toString()});
        counts = totals();
        return std::any_of(seen.begin(), seen.end(),
                           [](const Seen &row) { return row.state == BoardState::Waiting; });
    };
    QTRY_VERIFY_WITH_TIMEOUT(look(), 5000);
    int waiting = 0;
    int running = 0;
    for (const Seen &row : seen) {
        if (row.state == BoardState::Running)
            ++running;
        if (row.state != BoardState::Waiting)
            continue;
        ++waiting;
        QVERIFY2(row.status.startsWith("waiting its turn: the limit of "), qPrintable(row.status));
        QVERIFY(!row.held);
        QCOMPARE(row.seconds, QString());
    }
    QVERIFY2(counts.endsWith(QStringLiteral("; %1 running, %2 waiting").arg(running).arg(waiting)),
             qPrintable(counts));
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 60000);

    QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 8);
    QCOMPARE(table()->model()->rowCount(), 8);
    const QString faulty = path("boards/tty5");
    const QString lost = path("boards/tty2");
    for (int k = 0; k < 8; ++k) {
        QCOMPARE(table()->model()->index(k, BoardRows::SlotColumn).data().toInt(), k + 1);
        QCOMPARE(cell(given[k], BoardRows::PortColumn), given[k]);
        QCOMPARE(row(given[k]), k);
        QJsonObject record;
        for (const QJsonObject &line : report) {
            if (line["port"].toString() == given[k])
                record = line;
        }
        // Green across the row, or red with its cause in plain words; its status says how it
        // ended, as its record does, even when it was lost in the middle of its data.
        const bool failed = given[k] == faulty || given[k] == lost;
        QCOMPARE(state(given[k]), failed ? BoardState::Failed : BoardState::Passed);
        QCOMPARE(record["exitCode"].toInt() != 0, failed);
        QCOMPARE(cell(given[k], BoardRows::StatusColumn), record["result"].toString());
        if (given[k] == faulty)
            QCOMPARE(cell(given[k], BoardRows::ResultColumn), causeOfErase);
        else if (!failed)
            QCOMPARE(cell(given[k], BoardRows::ResultColumn), record["result"].toString());
        QCOMPARE(table()->model()->index(k, BoardRows::StatusColumn).data(Qt::BackgroundRole),
                 table()->model()->index(k, BoardRows::SlotColumn).data(Qt::BackgroundRole));
    }
    QCOMPARE(banner()->state(), BatchBanner::State::Fail);
    QCOMPARE(banner()->text(), QStringLiteral("FAIL  2 of 8 failed"));
    QCOMPARE(totals(), QStringLiteral("8 boards: 6 passed, 2 failed, 0 stopped"));
    QVERIFY(window->findChild<QLabel *>("Label_Sha256")
                ->toolTip()
                .contains(report.first()["sha256"].toString()));
    // Nothing shown widens the window past a 1024-pixel screen at scale factor 2.
    QVERIFY2(window->minimumSizeHint().width() <= 512,
             qPrintable(QString::number(window->minimumSizeHint().width())));

    // As narrow as a 1024-pixel screen at scale factor 2 makes it: every column's header whole,
    // and a cell cut short has its whole text as its tooltip.
    window->resize(512, window->height());
    QTRY_COMPARE(window->width(), 512);
    QHeaderView *header = table()->horizontalHeader();
    for (int column = 0; column < BoardRows::ColumnCount; ++column)
        QVERIFY2(
            header->sectionSize(column) >= header->sectionSizeHint(column),
            qPrintable(QStringLiteral("%1: %2 < %3")
                           .arg(table()->model()->headerData(column, Qt::Horizontal).toString())
                           .arg(header->sectionSize(column))
                           .arg(header->sectionSizeHint(column))));
    const QRect portRect =
        table()->visualRect(table()->model()->index(row(lost), BoardRows::PortColumn));
    QVERIFY(table()->fontMetrics().horizontalAdvance(lost) > portRect.width());
    const QPoint over = table()->viewport()->mapToGlobal(portRect.center());
    QVERIFY(xdotool({"mousemove", "--sync", QString::number(over.x()), QString::number(over.y())}));
    QTRY_COMPARE_WITH_TIMEOUT(QToolTip::text(), lost, 5000);
    QToolTip::hideText();

    // A failed board's detail, opened with a double-click, is a warning.
    std::optional<QMessageBox::Icon> icon;
    QTimer answer;
    connect(&answer, &QTimer::timeout, [&] {
        auto *box = window->findChild<QMessageBox *>("BoardDetail");
        if (!box || !box->isVisible())
            return;
        icon = box->icon();
        // Escape, until it has the keyboard: Return would only show the box's details.
        xdotool({"key", "Escape"});
    });
    answer.start(50);
    const QRect cellRect =
        table()->visualRect(table()->model()->index(row(faulty), BoardRows::ResultColumn));
    const QPoint at = table()->viewport()->mapToGlobal(cellRect.center());
    QVERIFY(xdotool({"mousemove", "--sync", QString::number(at.x()), QString::number(at.y()),
                     "click", "--repeat", "2", "--delay", "80", "1"}));
    QTRY_VERIFY_WITH_TIMEOUT(icon.has_value(), 10000);
    QCOMPARE(*icon, QMessageBox::Warning);
    QTRY_VERIFY(!window->findChild<QMessageBox *>("BoardDetail"));
    answer.stop();
    // The row the double-click selected, unselected with Ctrl and a click: Again runs every red
    // one.
    QVERIFY(xdotool({"keydown", "ctrl", "click", "1", "keyup", "ctrl"}));
    QTRY_VERIFY(!table()->selectionModel()->hasSelection());

    // Their faults taken away and the lost one back, F6 runs the red ones again and leaves the
    // green ones alone; they count as running only, and the batch's counts go on from where
    // they were.
    QVERIFY(control(path("boards"), "fault 5 none"));
    QVERIFY(control(path("boards"), "fault 2 none"));
    QVERIFY(control(path("boards"), "plug 2"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(lost).isSymLink() && QFileInfo::exists(lost), 10000);
    key("F6");
    QTRY_VERIFY_WITH_TIMEOUT(window->running(), 5000);
    QCOMPARE(state(faulty), BoardState::Running);
    QCOMPARE(state(lost), BoardState::Running);
    QCOMPARE(totals(), QStringLiteral("6 boards: 6 passed, 0 failed, 0 stopped; 2 running"));
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 60000);
    report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 10);
    QCOMPARE(QSet<QString>({report[8]["port"].toString(), report[9]["port"].toString()}),
             QSet<QString>({faulty, lost}));
    QCOMPARE(state(faulty), BoardState::Passed);
    QCOMPARE(state(lost), BoardState::Passed);
    QCOMPARE(totals(), QStringLiteral("8 boards: 8 passed, 0 failed, 0 stopped"));
    QCOMPARE(banner()->state(), BatchBanner::State::Pass);
    QCOMPARE(banner()->text(), QStringLiteral("PASS  8 of 8"));
}

void TestStationWindow::soundsOnARealSink_data() {
    QTest::addColumn<bool>("sound");
    QTest::newRow("Sound checked") << true;
    QTest::newRow("Sound unchecked with a click") << false;
}

void TestStationWindow::soundsOnARealSink() {
    QFETCH(bool, sound);
    if (QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty())
        QSKIP("no sound server here (scripts/setup.sh installs pulseaudio)");
    SoundSink sink(dir->path());
    QVERIFY2(sink.ready(), "the sound server did not start");
    DeviceProcess devices(QStringList{"--count", "2", "--fault", "1:erase-fail"} + Quick, 5000, 2);
    QVERIFY2(devices.slavePaths().size() == 2, qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    show({"download", "data", path("data.bin"), "--port", devices.slavePaths()[0], "--port",
          devices.slavePaths()[1]});
    auto *box = window->findChild<QCheckBox *>("CK_Sound");
    QVERIFY(box->isChecked());
    if (!sound) {
        click(box, {8, box->height() / 2});
        QTRY_VERIFY(!box->isChecked());
    }
    QCOMPARE(loudest(sink.path()), 0);
    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(window->running(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 60000);
    if (sound) {
        QTRY_VERIFY_WITH_TIMEOUT(loudest(sink.path()) > 50, 20000);
    } else {
        // Long enough for a sound to have reached the sink, were one played.
        QTest::qWait(2000);
        QCOMPARE(loudest(sink.path()), 0);
    }
}

void TestStationWindow::uploadsFromThreeBoardsByPort() {
    DeviceProcess devices(QStringList{"--count", "3"} + Quick, 5000, 3);
    QVERIFY2(devices.slavePaths().size() == 3, qPrintable(devices.errorString()));
    QVERIFY(QDir().mkpath(path("out")));
    QStringList arguments{"upload", "data", path("out/{port}"), "--report", path("report.jsonl")};
    for (const QString &port : devices.slavePaths())
        arguments << "--port" << port;
    show(arguments);
    // The file button says what its dialog does.
    QCOMPARE(window->findChild<QWidget *>("SB_Open")->property("text").toString(),
             QStringLiteral("Save"));
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
    QCOMPARE(totals(), QStringLiteral("3 boards: 3 passed, 0 failed, 0 stopped"));
    QCOMPARE(banner()->state(), BatchBanner::State::Pass);
}

// A line's recipe: the window opens filled in and locked, and an image that is not the one the
// recipe expects is refused at Start, both hashes shown, nothing made; one that is not there is
// named. Beside the recipe only the operator's options may be given, and the window's --quiet.
void TestStationWindow::recipeOpensLockedAndRefusesAnotherImage() {
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    const QString expected(64, QLatin1Char('a'));
    // Named at length, as a line's recipes are kept.
    const QString recipe = path("line-3-board-rev-b-data-image-week-50-station-4.recipe");
    QVERIFY(WriteFile(recipe, QStringLiteral("# line 3\n"
                                             "download data %1\n"
                                             "--port /dev/null\n"
                                             "--report %2\n"
                                             "--expect-sha256 %3\n")
                                  .arg(path("data.bin"), path("report.jsonl"), expected)
                                  .toUtf8()));
    const WindowArguments beside =
        ParseWindowArguments({"torvane-station", "--recipe", recipe, "--report", path("x")});
    QVERIFY(beside.action == WindowArguments::Action::Exit);
    QVERIFY2(beside.message.contains("only --lot, --trace, --watch and --quiet may be added"),
             qPrintable(beside.message));
    const QString help = ParseWindowArguments({"torvane-station", "--help"}).message;
    QVERIFY(help.contains("--recipe FILE [--lot NAME] [--trace] [--watch] [--quiet]"));
    // The window keeps the trace for a row's detail: nothing goes to a terminal.
    QVERIFY2(help.contains("for its detail") && !help.contains("stderr"), qPrintable(help));
    const WindowArguments parsed =
        ParseWindowArguments({"torvane-station", "--recipe", recipe, "--quiet"});
    QVERIFY2(parsed.action == WindowArguments::Action::Show, qPrintable(parsed.message));
    QVERIFY(parsed.quiet);
    window = std::make_unique<StationWindow>([] { return ComPortMap(); });
    window->fillIn(parsed.station);
    window->lockRecipe(parsed.recipe);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(xdotool({"windowfocus", "--sync", QString::number(window->winId())}));
    QTRY_VERIFY(window->isActiveWindow());
    QCOMPARE(window->findChild<QLineEdit *>("Edit_File")->text(), path("data.bin"));
    for (const char *name : {"CB_Mode", "Edit_File", "SB_Open", "LB_Ports", "Edit_Port", "CK_Watch",
                             "SE_Retries", "Edit_Report", "Edit_Sha256"})
        QVERIFY2(!window->findChild<QWidget *>(name)->isEnabled(), name);
    QVERIFY(window->findChild<QWidget *>("SB_Start")->isEnabled());
    // The note saying so is there whole, in as many lines as it takes in a window as narrow as
    // a 1024-pixel screen at scale factor 2 allows, which it never widens.
    window->resize(512, window->height());
    auto *note = window->findChild<QLabel *>("Label_Note");
    const QString said =
        QStringLiteral("The set-up is the recipe %1's: Start, Stop and Again work").arg(recipe);
    QCOMPARE(note->text(), said);
    QVERIFY(note->toolTip().contains(said));
    QTRY_COMPARE(window->width(), 512);
    QTRY_VERIFY(note->height() >= note->heightForWidth(note->width()));
    QVERIFY(note->heightForWidth(note->width()) > note->fontMetrics().height());
    QVERIFY(note->geometry().right() < window->width());
    QVERIFY2(window->minimumSizeHint().width() <= 512,
             qPrintable(QString::number(window->minimumSizeHint().width())));

    // The refusal is a modal box: read and answered with Return from within its own loop, once
    // it has the keyboard (a key sent before would go to the window), and again while it stays.
    QString refusal;
    QTimer answer;
    connect(&answer, &QTimer::timeout, [&] {
        auto *box = window->findChild<QMessageBox *>("StationRefusal");
        if (!box || !box->isVisible() || !box->isActiveWindow())
            return;
        refusal = box->text();
        xdotool({"key", "Return"});
    });
    answer.start(50);
    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(!refusal.isEmpty(), 10000);
    QVERIFY2(refusal.contains(expected), qPrintable(refusal));
    QVERIFY2(refusal.contains(QString::fromLatin1(
                 QCryptographicHash::hash(TestImage(DataSize, 0x5eed), QCryptographicHash::Sha256)
                     .toHex())),
             qPrintable(refusal));
    key("Return");
    QTRY_VERIFY(!window->findChild<QMessageBox *>("StationRefusal"));
    QVERIFY(!window->running());
    QVERIFY(!QFileInfo::exists(path("report.jsonl")));

    // Its image gone: the refusal names it.
    QVERIFY(QFile::remove(path("data.bin")));
    refusal.clear();
    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(!refusal.isEmpty(), 10000);
    QVERIFY2(refusal.contains(path("data.bin")), qPrintable(refusal));
    key("Return");
    QTRY_VERIFY(!window->findChild<QMessageBox *>("StationRefusal"));
    QVERIFY(!window->running());
}

// The lines of the set-up's list of steps.
QStringList stepLines(QWidget *window) {
    QStringList lines;
    auto *list = window->findChild<QListWidget *>("LB_Steps");
    for (int k = 0; list && k < list->count(); ++k)
        lines << list->item(k)->text();
    return lines;
}

// A job set up by keys: a loader, then Ctrl+T for a step the operator makes a Download Default,
// then Ctrl+T for its read-back; steps moved, added and removed in the list; F5 runs the job on
// two boards, one record each with its steps. Saved as a recipe with each image's SHA-256, the job
// runs again from it, the set-up locked.
void TestStationWindow::aJobSetUpByKeysRunsAndRunsAgainFromItsRecipe() {
    DeviceProcess devices(QStringList{"--count", "2", "--link-dir", path("boards")} + Quick, 5000,
                          2);
    QVERIFY2(devices.slavePaths().size() == 2, qPrintable(devices.errorString()));
    const QByteArray loader = TestImage(131072, 1);
    const QByteArray image = TestImage(131072, 2);
    QVERIFY(WriteFile(path("loader.bin"), loader) && WriteFile(path("default.bin"), image));
    const QStringList ports{path("boards/tty0"), path("boards/tty1")};
    show({"download", "loader", path("loader.bin"), "--port", ports[0], "--port", ports[1],
          "--report", path("report.jsonl")});
    QCOMPARE(stepLines(window.get()), QStringList{"1. Download Loader  loader.bin"});

    // A loader cannot be read back: the step added is a download with no file yet, its mode the
    // keyboard's.
    key("ctrl+t");
    auto *mode = window->findChild<QComboBox *>("CB_Mode");
    QTRY_COMPARE(stepLines(window.get()).value(1),
                 QStringLiteral("2. Download Software  (no file)"));
    QTRY_VERIFY(mode->hasFocus());
    key("Down");
    key("Down");
    QTRY_COMPARE(mode->currentText(), QStringLiteral("Download Default"));
    key("Tab");
    QVERIFY(xdotool({"type", "--delay", "2", path("default.bin")}));
    QTRY_COMPARE(stepLines(window.get()).value(1),
                 QStringLiteral("2. Download Default  default.bin"));
    // A download of the default image is read back next.
    key("ctrl+t");
    QTRY_COMPARE(stepLines(window.get()),
                 QStringList({"1. Download Loader  loader.bin", "2. Download Default  default.bin",
                              "3. Verify Default  default.bin"}));
    QCOMPARE(mode->currentText(), QStringLiteral("Verify Default"));
    // In the list: Ctrl+Up moves the read-back up, Ctrl+Down back; Insert adds a step after it,
    // Delete takes it away again.
    auto *list = window->findChild<QListWidget *>("LB_Steps");
    click(list, list->visualItemRect(list->item(2)).center());
    QTRY_VERIFY(list->hasFocus());
    key("ctrl+Up");
    QTRY_COMPARE(stepLines(window.get()).value(1),
                 QStringLiteral("2. Verify Default  default.bin"));
    key("ctrl+Down");
    key("Insert");
    QTRY_COMPARE(stepLines(window.get()).size(), 4);
    key("Delete");
    QTRY_COMPARE(stepLines(window.get()),
                 QStringList({"1. Download Loader  loader.bin", "2. Download Default  default.bin",
                              "3. Verify Default  default.bin"}));

    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(window->running(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 60000);
    QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 2);
    for (const QJsonObject &record : report) {
        QCOMPARE(record["exitCode"].toInt(), 0);
        QCOMPARE(record["steps"].toArray().size(), 3);
        QCOMPARE(record["operation"].toString(), QStringLiteral("verify"));
    }
    for (const QString &port : ports)
        QCOMPARE(state(port), BoardState::Passed);
    // The row's detail keeps each step's lines.
    auto *rows = qobject_cast<BoardRows *>(table()->model());
    QVERIFY(rows);
    QVERIFY2(rows->detail(0).contains("step 3 of 3: Verify Default\nConnectting..."),
             qPrintable(rows->detail(0)));
    QCOMPARE(banner()->state(), BatchBanner::State::Pass);

    // Saved as a recipe: its steps in order, each image's hash on its line.
    QTimer answer;
    bool typed = false;
    connect(&answer, &QTimer::timeout, [&] {
        auto *dialog = window->findChild<QFileDialog *>("RecipeDialog");
        if (dialog && dialog->isVisible() && dialog->isActiveWindow() && !typed)
            typed =
                xdotool({"type", "--delay", "2", path("job.recipe")}) && xdotool({"key", "Return"});
    });
    answer.start(100);
    key("ctrl+s");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(path("job.recipe")), 20000);
    answer.stop();
    const QString saved = QString::fromUtf8(ReadFile(path("job.recipe")));
    const auto sha = [](const QByteArray &bytes) {
        return QString::fromLatin1(
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    };
    QVERIFY2(
        saved.contains(QStringLiteral("download loader %1 --expect-sha256 %2\n"
                                      "download default %3 --expect-sha256 %4\n"
                                      "verify default %3 --expect-sha256 %4\n")
                           .arg(path("loader.bin"), sha(loader), path("default.bin"), sha(image))),
        qPrintable(saved));

    // The recipe opens the window with the job, locked, and runs it.
    const WindowArguments parsed =
        ParseWindowArguments({"torvane-station", "--recipe", path("job.recipe")});
    QVERIFY2(parsed.action == WindowArguments::Action::Show, qPrintable(parsed.message));
    window = std::make_unique<StationWindow>([] { return ComPortMap(); });
    window->fillIn(parsed.station);
    window->lockRecipe(parsed.recipe);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(xdotool({"windowfocus", "--sync", QString::number(window->winId())}));
    QTRY_VERIFY(window->isActiveWindow());
    QCOMPARE(stepLines(window.get()).size(), 3);
    QVERIFY(!window->findChild<QWidget *>("SB_AddStep")->isEnabled());
    key("ctrl+t");
    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(window->running(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 60000);
    report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 4);
    for (const QJsonObject &record : report.mid(2)) {
        QCOMPARE(record["exitCode"].toInt(), 0);
        QCOMPARE(record["steps"].toArray().size(), 3);
    }
    QCOMPARE(stepLines(window.get()).size(), 3);
}

// The lot's counts and yield, shown all the time: a board counted once at its last attempt, each
// attempt recorded, the row saying which attempt it is; after a restart of the window the same.
void TestStationWindow::lotCountsRetriesAndARestart() {
    // Paced, so that the second attempt lasts long enough to be seen, however loaded the machine.
    DeviceProcess devices(
        QStringList{"--count", "2", "--fault", "1:erase-fail", "--pace", "921600"} + Quick, 5000,
        2);
    QVERIFY2(devices.slavePaths().size() == 2, qPrintable(devices.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    show({"download", "data", path("data.bin"), "--port", devices.slavePaths()[0], "--port",
          devices.slavePaths()[1], "--report", path("report.jsonl"), "--lot", "week-50",
          "--retries", "1"});
    auto *lot = window->findChild<QLabel *>("Label_Lot");
    QCOMPARE(lot->text(), QStringLiteral("Lot week-50: 0 passed, 0 failed, 0 stopped; yield -"));
    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(
        cell(devices.slavePaths()[1], BoardRows::StatusColumn).contains("attempt 2 of 2"), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 60000);
    const QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 3);
    QList<int> attempts; // of the faulty board
    for (const QJsonObject &record : report) {
        QCOMPARE(record["lot"].toString(), QStringLiteral("week-50"));
        if (record["port"].toString() == devices.slavePaths()[1])
            attempts << record["attempt"].toInt();
        else
            QCOMPARE(record["attempt"].toInt(), 1);
    }
    QCOMPARE(attempts, QList<int>({1, 2}));
    QCOMPARE(lot->text(),
             QStringLiteral("Lot week-50: 1 passed, 1 failed, 0 stopped; yield 50.0 %"));

    // A new lot (its name typed, then Yes to the question), and Again: the board that failed is
    // counted into the new lot, and its records name it.
    QTimer answer;
    bool typed = false;
    connect(&answer, &QTimer::timeout, [&] {
        auto *ask = window->findChild<QInputDialog *>("NewLotDialog");
        auto *question = window->findChild<QMessageBox *>("NewLotQuestion");
        // The keys once the dialog has the keyboard (sent before, they would go to the window);
        // the name once: the keys typed may not have arrived by the next look.
        if (ask && ask->isVisible() && ask->isActiveWindow() && !typed)
            typed = xdotool({"type", "week-51"}) && xdotool({"key", "Return"});
        else if (question && question->isVisible() && question->isActiveWindow())
            xdotool({"key", "alt+y"});
    });
    answer.start(100);
    key("ctrl+l");
    QTRY_VERIFY_WITH_TIMEOUT(lot->text().startsWith("Lot week-51:"), 20000);
    answer.stop();
    key("F6");
    QTRY_VERIFY_WITH_TIMEOUT(window->running(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 60000);
    const QList<QJsonObject> again = records(path("report.jsonl"));
    QCOMPARE(again.size(), 5);
    for (const QJsonObject &record : again.mid(3))
        QCOMPARE(record["lot"].toString(), QStringLiteral("week-51"));
    const QString counted =
        QStringLiteral("Lot week-51: 0 passed, 1 failed, 0 stopped; yield 0.0 %");
    QCOMPARE(lot->text(), counted);

    // Closed and opened again: the lot goes on, its counts as they were.
    window.reset();
    show({});
    QCOMPARE(window->findChild<QLabel *>("Label_Lot")->text(), counted);
}

void TestStationWindow::watchKeepsABoardsSlotAndItsRedWhenPulledOut() {
    // Paced, so that the board is pulled out in the middle of its data.
    DeviceProcess device(QStringList{"--link-dir", path("boards"), "--pace", "460800"} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("default.bin"), TestImage(131072, 0x5eed)));
    show({"download", "default", path("default.bin"), "--report", path("report.jsonl")});
    // The pattern typed into the port field, Watch checked with the mouse, started with F5.
    auto *port = window->findChild<QLineEdit *>("Edit_Port");
    click(port);
    QTRY_VERIFY(port->hasFocus());
    QVERIFY(xdotool({"type", "--delay", "2", path("boards/tty*")}));
    key("Return");
    QTRY_VERIFY(port->text().isEmpty());
    auto *watch = window->findChild<QCheckBox *>("CK_Watch");
    click(watch, {8, watch->height() / 2}); // on its box
    QTRY_VERIFY(watch->isChecked());
    key("F5");
    QTRY_VERIFY_WITH_TIMEOUT(window->running(), 5000);

    const QString board = path("boards/tty0");
    const auto moving = [&] {
        const int r = row(board);
        return r >= 0 && table()->model()->index(r, 0).data(BoardRows::ProgressRole).toDouble() > 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(moving(), 30000);
    QVERIFY(control(path("boards"), "unplug 0"));
    QTRY_COMPARE_WITH_TIMEOUT(cell(board, BoardRows::StatusColumn), QStringLiteral("board removed"),
                              10000);
    // Pulled out mid-flash: it stays red.
    QCOMPARE(state(board), BoardState::Failed);
    QCOMPARE(banner()->state(), BatchBanner::State::Watching);

    // Plugged in again on the same port: its slot again, and this time it passes.
    QVERIFY(control(path("boards"), "plug 0"));
    QTRY_COMPARE_WITH_TIMEOUT(state(board), BoardState::Passed, 30000);
    QCOMPARE(table()->model()->rowCount(), 1);
    QCOMPARE(records(path("report.jsonl")).size(), 2);
    QVERIFY(window->running()); // still watching
    key("Escape");
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 10000);
    // Both boards counted: the one pulled out failed, the next one passed.
    QCOMPARE(totals(), QStringLiteral("2 boards: 1 passed, 1 failed, 0 stopped"));
    QCOMPARE(banner()->state(), BatchBanner::State::Fail);
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
        return r >= 0 && table()->model()->index(r, 0).data(BoardRows::ProgressRole).toDouble() > 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(moving(devices.slavePaths()[0]) && moving(devices.slavePaths()[1]),
                             30000);
    // The lamp keeps its meaning while a board runs: its port is held.
    QVERIFY(table()->model()->index(0, 0).data(BoardRows::HeldRole).toBool());
    key("Escape");
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 10000);
    // Nothing written, not even a temporary file beside a target; a record for each board.
    QCOMPARE(QDir(path("out")).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList());
    const QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 2);
    // Each record says the operator stopped it (not a signal).
    for (const QJsonObject &record : report)
        QCOMPARE(record["cause"].toString(),
                 QStringLiteral("stopped by the operator before its verdict"));
    // Stopped, not failed: counted apart, in a colour of their own, the lamp out.
    for (const QString &port : devices.slavePaths()) {
        QCOMPARE(state(port), BoardState::Stopped);
        QVERIFY(!table()->model()->index(row(port), 0).data(BoardRows::HeldRole).toBool());
    }
    QCOMPARE(totals(), QStringLiteral("2 boards: 0 passed, 0 failed, 2 stopped"));
    QCOMPARE(banner()->state(), BatchBanner::State::Stopped);
}

void TestStationWindow::startProgram(QProcess &station, const QStringList &arguments) {
    station.start(QStringLiteral(TORVANE_STATION_PROGRAM), arguments);
    QVERIFY(station.waitForStarted());
    QProcess search;
    search.start("xdotool", {"search", "--sync", "--pid", QString::number(station.processId())});
    QVERIFY(search.waitForFinished(20000));
    const QString id = QString::fromLatin1(search.readAllStandardOutput()).section('\n', 0, 0);
    QVERIFY(!id.isEmpty());
    QVERIFY(xdotool({"windowfocus", "--sync", id}));
    QVERIFY(xdotool({"key", "--window", id, "F5"}));
}

// Whether the program has `file` open.
static bool holds(const QProcess &program, const QString &file) {
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(program.processId()));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
        if (fd.symLinkTarget() == QFileInfo(file).absoluteFilePath())
            return true;
    }
    return false;
}

// The program itself: SIGTERM in the middle of a run stops its boards in order, writes their
// records and ends it interrupted, as the command line does.
void TestStationWindow::sigtermEndsTheWindowInterrupted() {
    DeviceProcess device(QStringList{"--pace", "115200"} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    QProcess station;
    startProgram(station, {"download", "data", path("data.bin"), "--port", device.slavePath(),
                           "--report", path("report.jsonl")});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(path("report.jsonl")), 10000);
    QTest::qWait(500); // into its data
    ::kill(pid_t(station.processId()), SIGTERM);
    QVERIFY(station.waitForFinished(20000));
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 130);
    const QList<QJsonObject> report = records(path("report.jsonl"));
    QCOMPARE(report.size(), 1);
    QCOMPARE(report.first()["cause"].toString(),
             QStringLiteral("stopped by SIGTERM before its verdict"));
}

// A report on a pipe whose reader went: the records fail, and neither the window nor its boards
// are killed.
void TestStationWindow::aReportPipeWhoseReaderWentKillsNothing() {
    DeviceProcess device(QStringList{"--pace", "921600"} + Quick);
    QVERIFY2(!device.slavePath().isEmpty(), qPrintable(device.errorString()));
    QVERIFY(WriteFile(path("data.bin"), TestImage(DataSize, 0x5eed)));
    QVERIFY(QProcess::execute("mkfifo", {path("report.pipe")}) == 0);
    QProcess reader;
    reader.start("cat", {path("report.pipe")});
    QVERIFY(reader.waitForStarted());
    QProcess station;
    startProgram(station, {"download", "data", path("data.bin"), "--port", device.slavePath(),
                           "--report", path("report.pipe")});
    // The run has the pipe: its reader goes before the board's record is written.
    QTRY_VERIFY_WITH_TIMEOUT(holds(station, path("report.pipe")), 10000);
    reader.kill();
    QVERIFY(reader.waitForFinished());
    // The run lets the pipe go once its board has ended.
    QTRY_VERIFY_WITH_TIMEOUT(!holds(station, path("report.pipe")), 30000);
    QCOMPARE(station.state(), QProcess::Running);
    ::kill(pid_t(station.processId()), SIGTERM);
    QVERIFY(station.waitForFinished(20000));
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 130);
}

QTEST_MAIN(TestStationWindow)
#include "tst_station_window.moc"
