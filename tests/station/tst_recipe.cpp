// Recipes read and written by the station core: the lines a line's engineer writes, the files
// that are no recipe, and a saved set-up read back as it was.
#include "plant/broker_address.h"
#include "station/recipe.h"
#include "station/station_arguments.h"
#include "support/images.h"

#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TestRecipe : public QObject {
    Q_OBJECT
private slots:
    void init();

    void readsItsLines_data();
    void readsItsLines();
    void refusesWhatIsNoRecipe_data();
    void refusesWhatIsNoRecipe();
    void savedSetUpReadsBack();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString path(const QString &name) const { return dir->filePath(name); }
};

void TestRecipe::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestRecipe::readsItsLines_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error"); // after "recipe:"; empty when it reads

    QTest::newRow("comments, quotes, blank lines, CRLF")
        << QByteArray("# line 3, board rev B\r\n\ndownload data \"/srv/my img/data#1.bin\"\r\n"
                      "  --port COM.*   # any numbered port\n--port=/dev/ttyUSB0\n--watch\n"
                      "--report \"a \\\"b\\\" c.jsonl\"\n--retries 2\n")
        << QStringList{"download",  "data",     "/srv/my img/data#1.bin",
                       "--port",    "COM.*",    "--port=/dev/ttyUSB0",
                       "--watch",   "--report", "a \"b\" c.jsonl",
                       "--retries", "2"}
        << QString();
    QTest::newRow("an option the station does not know")
        << QByteArray("download data d.bin\n--frob\n") << QStringList() << ":2: Unknown option";
    QTest::newRow("a word after a flag") << QByteArray("--watch now\ndownload data d.bin\n")
                                         << QStringList() << ":1: 'now' after --watch";
    QTest::newRow("an option without its value")
        << QByteArray("download data d.bin\n\n--port\n") << QStringList() << ":3: Missing value";
    QTest::newRow("two options on a line")
        << QByteArray("download data d.bin\n--watch --overwrite\n") << QStringList()
        << ":2: one option a line";
    // Each step a line, in order; a step's own options after its file.
    QTest::newRow("steps in order")
        << QByteArray("download loader l.bin\n--port COM.01\ndownload data d.bin "
                      "--expect-sha256 " +
                      QByteArray(64, 'a') + "\nverify data d.bin\n")
        << QStringList{"download",       "loader",   "l.bin",  "--port", "COM.01",
                       "--then",         "download", "data",   "d.bin",  "--expect-sha256",
                       QString(64, 'a'), "--then",   "verify", "data",   "d.bin"}
        << QString();
    QTest::newRow("a read-back of a loader")
        << QByteArray("download loader l.bin\nverify loader l.bin\n") << QStringList()
        << ":2: verify loader: no upload mode reads a device's loader back";
    QTest::newRow("an option after a step that is not its own")
        << QByteArray("download data d.bin --port COM.01\n") << QStringList()
        << ":1: after a step's FILE only its own options may follow (--expect-sha256)";
    QTest::newRow("--then in a recipe") << QByteArray("download data d.bin\n--then\n")
                                        << QStringList() << ":2: a recipe's steps are its lines";
    QTest::newRow("a kind that is none")
        << QByteArray("download firmware d.bin\n") << QStringList() << ":1: unknown download kind";
    QTest::newRow("a report given twice")
        << QByteArray("download data d.bin\n--report a\n--report b\n") << QStringList()
        << ":3: --report is given on line 2 already";
    QTest::newRow("a quote left open")
        << QByteArray("download data \"d.bin\n") << QStringList() << ":1: a quote is not closed";
    QTest::newRow("a recipe in a recipe")
        << QByteArray("download data d.bin\n--recipe other\n") << QStringList()
        << ":2: a recipe does not name another recipe";
    QTest::newRow("no step") << QByteArray("--port COM.01\n") << QStringList() << ": no step in it";
}

void TestRecipe::readsItsLines() {
    QFETCH(QByteArray, text);
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QVERIFY(WriteFile(path("line.recipe"), text));
    const RecipeRead read = ReadRecipe(path("line.recipe"), StationOptions());
    if (error.isEmpty()) {
        QVERIFY2(read.error.isEmpty(), qPrintable(read.error));
        QCOMPARE(read.arguments, arguments);
    } else {
        // The file and the line, then what is wrong there.
        QVERIFY2(read.error.startsWith(path("line.recipe") + error), qPrintable(read.error));
        QVERIFY(read.arguments.isEmpty());
    }
}

void TestRecipe::refusesWhatIsNoRecipe_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("complaint");
    // A pipe nobody writes to would hold a reader that waits forever.
    QTest::newRow("a pipe") << "pipe"
                            << "cannot be read (a FIFO, not a file)";
    QTest::newRow("a folder") << "folder"
                              << "cannot be read (a directory, not a file)";
    QTest::newRow("a large file") << "large"
                                  << "cannot be read (larger than 64 KiB)";
    QTest::newRow("no text") << "binary"
                             << "is not text";
    QTest::newRow("not there") << "missing"
                               << "cannot be read (No such file";
}

void TestRecipe::refusesWhatIsNoRecipe() {
    QFETCH(QString, kind);
    QFETCH(QString, complaint);
    const QString name = path(kind);
    if (kind == "pipe")
        QCOMPARE(::mkfifo(QFile::encodeName(name).constData(), 0600), 0);
    else if (kind == "folder")
        QVERIFY(QDir().mkdir(name));
    else if (kind == "large")
        QVERIFY(WriteFile(name, "download data d.bin\n" + QByteArray(MaxRecipeBytes, '#')));
    else if (kind == "binary")
        QVERIFY(WriteFile(name, QByteArray("download data d.bin\n\0\x01", 22)));
    const RecipeRead read = ReadRecipe(name, StationOptions());
    QVERIFY2(read.error.contains(name) && read.error.contains(complaint), qPrintable(read.error));
}

// The folder the tool runs in, put back however a test ends.
struct InFolder {
    explicit InFolder(const QString &folder) { ok = QDir::setCurrent(folder); }
    ~InFolder() { QDir::setCurrent(was); }
    QString was = QDir::currentPath();
    bool ok = false;
};

QString sha256Of(const QByteArray &bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

void TestRecipe::savedSetUpReadsBack() {
    const QByteArray image = TestImage(262144, 7);
    const QByteArray loader = TestImage(131072, 9);
    QVERIFY(WriteFile(path("my data #1.bin"), image));
    QVERIFY(WriteFile(path("loader.bin"), loader));
    // Set up with paths as typed in a folder the recipe is not run from later, which may be gone
    // by then. A link in it leads elsewhere, where a board's port is a link too.
    QVERIFY(QDir().mkpath(path("line/boards")));
    QVERIFY(QDir().mkpath(path("elsewhere/deep")));
    QVERIFY(QFile::link(path("elsewhere/deep"), path("line/up")));
    QVERIFY(QFile::link("/dev/null", path("elsewhere/tty2")));
    const InFolder here(path("line"));
    QVERIFY(here.ok);
    const QString line = QDir::currentPath();
    const QString top = QFileInfo(path(".")).canonicalFilePath();
    StationPlan plan;
    const auto step = [](const QString &command, const QString &kind, const QString &file) {
        JobStep made;
        const QString why = ReadStep({command, kind, file}, &made);
        return why.isEmpty() ? made : JobStep{};
    };
    // A job of three steps: a loader, the data, and the data read back.
    plan.steps = {step("download", "loader", "../loader.bin"),
                  step("download", "data", "../my data #1.bin"),
                  step("verify", "data", "../my data #1.bin")};
    plan.ports = QStringList{"COM.01",        "/dev/serial/by-id/usb-FTDI \"x\" port0",
                             "./boards/tty0", "../tty1",
                             "up/../tty2",    "/dev/pts/5",
                             "ttyUSB0",       "COM.*"};
    plan.report = "report.jsonl";
    plan.lot = "lot 7";
    plan.retries = 2;
    ParseBrokerAddress("mqtts://station4@broker.example/plant/line%201", &plan.publish.broker);
    plan.publish.passwordFile = "./broker password";
    plan.publish.password = "never-in-a-recipe"; // from the environment
    plan.publish.caFile = "boards//ca.pem";
    plan.publish.certFile = "boards/station.crt";
    plan.publish.keyFile = "../station.key";
    plan.publish.outbox = "outbox/";
    plan.publish.station = "line 1, station 4";
    plan.onBoardEnd = "/bin/echo \"light tower\" --green";
    plan.onBatchEnd = "echo batch";
    // A service's credential is the service's: never a recipe's.
    StationPlan service = plan;
    service.publish.passwordFile = "/run/credentials/torvane-watch@line1.service/publish-password";
    service.publish.passwordCredential = true;
    QVERIFY(!RecipeText(service).contains("--publish-password-file"));
    QCOMPARE(SaveRecipe(path("saved.recipe"), plan), QString());
    QVERIFY(!ReadFile(path("saved.recipe")).contains("never-in-a-recipe"));
    // Its files and its ports named by a path are whole; the names the tool looks up stay. A
    // ".." is where it leads from here (past the link, up from where the link points), without
    // this folder; the last name stays as typed, a link's.
    plan.steps[0].file = top + "/loader.bin";
    plan.steps[1].file = plan.steps[2].file = top + "/my data #1.bin";
    plan.ports = QStringList{"COM.01",
                             "/dev/serial/by-id/usb-FTDI \"x\" port0",
                             line + "/boards/tty0",
                             top + "/tty1",
                             top + "/elsewhere/tty2",
                             "/dev/pts/5",
                             "ttyUSB0",
                             "COM.*"};
    plan.report = line + "/report.jsonl";
    plan.publish.passwordFile = line + "/broker password";
    plan.publish.caFile = line + "/boards/ca.pem";
    plan.publish.certFile = line + "/boards/station.crt";
    plan.publish.keyFile = top + "/station.key";
    plan.publish.outbox = line + "/outbox";

    // Read back as a front end reads it: the recipe, then the command line beside it, where
    // --watch makes a watch of it (as the station's service runs every recipe).
    const StationOptions options;
    QCommandLineParser parser;
    parser.addOptions(options.all());
    QStringList arguments{"torvane-cli", "--recipe", path("saved.recipe"), "--watch"};
    QVERIFY(parser.parse(arguments));
    QString recipe;
    QCOMPARE(ApplyRecipe(parser, options, &arguments, &recipe), QString());
    QCOMPARE(recipe, path("saved.recipe"));
    StationPlan read;
    QCOMPARE(ReadStationArguments(parser, options, arguments, true, &read), QString());
    // The steps in their order, each image's hash with it: a changed image is refused by the
    // recipe.
    plan.steps[0].expectSha256 = sha256Of(loader);
    plan.steps[1].expectSha256 = plan.steps[2].expectSha256 = sha256Of(image);
    QCOMPARE(read.steps.size(), 3);
    for (int k = 0; k < 3; ++k)
        QVERIFY2(read.steps[k] == plan.steps[k], qPrintable(StepName(read.steps[k])));
    QCOMPARE(read.ports, plan.ports);
    QCOMPARE(read.report, plan.report);
    QCOMPARE(read.lot, plan.lot);
    QCOMPARE(read.retries, plan.retries);
    QCOMPARE(read.onBoardEnd, plan.onBoardEnd);
    QCOMPARE(read.onBatchEnd, plan.onBatchEnd);
    QVERIFY(!plan.watch && read.watch);
    plan.publish.password.clear();
    QVERIFY(read.publish == plan.publish);

    // An image other than the one the plan expects is not laundered into a recipe; the refusal
    // names the step.
    QVERIFY(WriteFile(path("my data #1.bin"), TestImage(262144, 8)));
    const QString why = SaveRecipe(path("other.recipe"), plan);
    QVERIFY2(why.startsWith("step 2 (Download Data): ") && why.contains("not the one expected"),
             qPrintable(why));
    QVERIFY(!QFile::exists(path("other.recipe")));
}

QTEST_GUILESS_MAIN(TestRecipe)
#include "tst_recipe.moc"
