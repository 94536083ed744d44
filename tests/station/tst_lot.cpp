// A lot's counts as the state folder keeps them: across a restart, with stations counting into
// one lot at once, and a file that holds no counts.
#include "station/lot.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

class TestLot : public QObject {
    Q_OBJECT
private slots:
    void countsSurviveAndAddUp();
    void refusesWhatItCannotCountInto();
    void aCountNotWrittenIsWrittenWithTheNext();
};

void TestLot::countsSurviveAndAddUp() {
    QTemporaryDir state;
    QVERIFY(state.isValid());
    QString why;
    {
        const std::unique_ptr<Lot> lot = Lot::open("2026-12-09 A/B", &why, state.path());
        QVERIFY2(lot, qPrintable(why));
        QCOMPARE(lot->counts().served(), 0);
        // Nothing is made until the first board.
        QVERIFY(!QDir(state.path() + "/lots").exists());
        QVERIFY2(lot->add(BoardEnd::Passed, &why), qPrintable(why));
        QVERIFY(lot->add(BoardEnd::Failed, &why));
        QVERIFY(lot->add(BoardEnd::Stopped, &why));
    }
    // Two stations on one lot, each opened before the other counted, each with boards ending at
    // once on threads of their own: every board counts.
    constexpr int Boards = 40;
    const std::unique_ptr<Lot> first = Lot::open("2026-12-09 A/B", &why, state.path());
    const std::unique_ptr<Lot> second = Lot::open("2026-12-09 A/B", &why, state.path());
    QVERIFY(first && second);
    QCOMPARE(first->counts().passed, 1);
    QCOMPARE(first->counts().stopped, 1);
    std::vector<std::thread> stations;
    for (Lot *lot : {first.get(), first.get(), second.get(), second.get()}) {
        stations.emplace_back([lot] {
            QString ignored;
            for (int k = 0; k < Boards; ++k)
                lot->add(BoardEnd::Passed, &ignored);
        });
    }
    for (std::thread &station : stations)
        station.join();
    const std::unique_ptr<Lot> after = Lot::open("2026-12-09 A/B", &why, state.path());
    QVERIFY(after);
    QCOMPARE(after->counts().passed, 1 + 4 * Boards);
    QCOMPARE(after->counts().failed, 1);
    QCOMPARE(*after->counts().yield(), double(1 + 4 * Boards) / (2 + 4 * Boards));
    // A station's own view holds what it counted, and what the other had written before it.
    QVERIFY(first->counts().passed >= 1 + 2 * Boards);
    // Only the lot's file and the lock beside it, nothing half-written.
    QCOMPARE(QDir(state.path() + "/lots").entryList(QDir::Files | QDir::Hidden).size(), 2);

    QVERIFY(after->restart(&why));
    QCOMPARE(Lot::open("2026-12-09 A/B", &why, state.path())->counts().served(), 0);
}

void TestLot::refusesWhatItCannotCountInto() {
    QTemporaryDir state;
    QVERIFY(state.isValid());
    QString why;
    for (const QString &name :
         {QString(), QStringLiteral(" "), QStringLiteral("a\nb"), QString(65, QLatin1Char('x'))}) {
        QVERIFY(!Lot::open(name, &why, state.path()));
        QVERIFY(!LotNameProblem(name).isEmpty());
    }
    // A file that does not hold counts is never taken for zero and written over.
    QVERIFY(QDir().mkpath(state.path() + "/lots"));
    QFile file(state.path() + "/lots/spoilt.json");
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("{\"passed\": -3}") > 0);
    file.close();
    QVERIFY(!Lot::open("spoilt", &why, state.path()));
    QVERIFY2(why.contains("move it away"), qPrintable(why));
}

void TestLot::aCountNotWrittenIsWrittenWithTheNext() {
    QTemporaryDir state;
    QVERIFY(state.isValid());
    QString why;
    const std::unique_ptr<Lot> lot = Lot::open("week 52", &why, state.path());
    QVERIFY2(lot, qPrintable(why));
    QVERIFY2(lot->add(BoardEnd::Passed, &why), qPrintable(why));
    // The lock the stations share cannot be taken (as when another holds it too long): the
    // board's count is not kept in the file, but neither is it lost.
    const QString lock = state.path() + "/lots/.lock";
    QVERIFY(QFile::remove(lock) && QDir().mkdir(lock));
    QVERIFY(!lot->add(BoardEnd::Failed, &why));
    QVERIFY2(why.contains(".lock"), qPrintable(why));
    QCOMPARE(lot->counts().failed, 1);
    // The next look at the lot writes it.
    QVERIFY(QDir().rmdir(lock));
    QVERIFY2(lot->refresh(&why), qPrintable(why));
    const std::unique_ptr<Lot> kept = Lot::open("week 52", &why, state.path());
    QVERIFY(kept);
    QCOMPARE(kept->counts().passed, 1);
    QCOMPARE(kept->counts().failed, 1);
    QCOMPARE(lot->counts().served(), 2);
}

QTEST_GUILESS_MAIN(TestLot)
#include "tst_lot.moc"
