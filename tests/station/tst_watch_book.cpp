// The watch's bookkeeping on looks written out by hand: no ports, no threads.
#include "station/watch_book.h"

#include <QTest>

namespace {

// "name=device#identity" for each port present at one look; "+device#identity" for a device
// still there that no name found leads to, "!device" for one removed and made again since the
// last look: those are left out.
std::vector<FoundPort> ports(const QStringList &present) {
    std::vector<FoundPort> found;
    for (const QString &entry : present) {
        if (entry.startsWith('+') || entry.startsWith('!'))
            continue;
        FoundPort port;
        port.name = entry.section(QLatin1Char('='), 0, 0);
        port.path = port.name;
        port.device = entry.section(QLatin1Char('='), 1).section(QLatin1Char('#'), 0, 0);
        port.identity = entry.section(QLatin1Char('#'), 1).toLatin1();
        found.push_back(port);
    }
    return found;
}

std::map<QString, QByteArray> stillThere(const QStringList &present) {
    std::map<QString, QByteArray> devices;
    for (const QString &entry : present) {
        if (entry.startsWith('+'))
            devices[entry.mid(1).section('#', 0, 0)] = entry.section('#', 1).toLatin1();
    }
    return devices;
}

std::set<QString> replugged(const QStringList &present) {
    std::set<QString> devices;
    for (const QString &entry : present) {
        if (entry.startsWith('!'))
            devices.insert(entry.mid(1));
    }
    return devices;
}

QStringList served(const WatchLook &look) {
    QStringList names;
    for (const FoundPort &port : look.serve)
        names << port.name;
    return names;
}

} // namespace

class TestWatchBook : public QObject {
    Q_OBJECT

private slots:
    // Each row: the looks in turn, "|" between the ports of one look, "-" for none; after each
    // look every board served ends. `served` is, per look, the names served then.
    void boardsAreServedOncePerPlugging_data() {
        QTest::addColumn<QStringList>("looks");
        QTest::addColumn<QStringList>("served");
        QTest::newRow("served at its second look, and not again while it stays")
            << QStringList{"u0=/dev/ttyUSB0#1", "u0=/dev/ttyUSB0#1", "u0=/dev/ttyUSB0#1"}
            << QStringList{"", "u0", ""};
        QTest::newRow("its by-id link comes later: the same board")
            << QStringList{"u0=/dev/ttyUSB0#1", "u0=/dev/ttyUSB0#1",
                           "u0=/dev/ttyUSB0#1|id=/dev/ttyUSB0#1",
                           "u0=/dev/ttyUSB0#1|id=/dev/ttyUSB0#1"}
            << QStringList{"", "u0", "", ""};
        QTest::newRow("gone at one look and back: served again")
            << QStringList{"u0=/dev/ttyUSB0#1", "u0=/dev/ttyUSB0#1", "-", "u0=/dev/ttyUSB0#2",
                           "u0=/dev/ttyUSB0#2"}
            << QStringList{"", "u0", "", "", "u0"};
        QTest::newRow("its node made anew between two looks: another board")
            << QStringList{"u0=/dev/ttyUSB0#1", "u0=/dev/ttyUSB0#1", "u0=/dev/ttyUSB0#7",
                           "u0=/dev/ttyUSB0#7"}
            << QStringList{"", "u0", "", "u0"};
        QTest::newRow("its link removed and made again while the device stays: served once")
            << QStringList{"w0=/dev/pts/5#1", "w0=/dev/pts/5#1", "+/dev/pts/5#1", "w0=/dev/pts/5#1",
                           "w0=/dev/pts/5#1"}
            << QStringList{"", "w0", "", "", ""};
        QTest::newRow("unplugged and back between two looks, its node alike: served again")
            << QStringList{"u0=/dev/ttyUSB0#1", "u0=/dev/ttyUSB0#1", "u0=/dev/ttyUSB0#1",
                           "u0=/dev/ttyUSB0#1|!/dev/ttyUSB0", "u0=/dev/ttyUSB0#1"}
            << QStringList{"", "u0", "", "", "u0"};
        QTest::newRow("two boards, one after the other")
            << QStringList{"u0=/dev/ttyUSB0#1", "u0=/dev/ttyUSB0#1|u1=/dev/ttyUSB1#5",
                           "u0=/dev/ttyUSB0#1|u1=/dev/ttyUSB1#5"}
            << QStringList{"", "u0", "u1"};
    }
    void boardsAreServedOncePerPlugging() {
        QFETCH(QStringList, looks);
        QFETCH(QStringList, served);
        WatchBook book;
        for (int i = 0; i < looks.size(); ++i) {
            const QStringList present =
                looks[i] == QLatin1String("-") ? QStringList() : looks[i].split(QLatin1Char('|'));
            const WatchLook look =
                book.look(ports(present), stillThere(present), replugged(present));
            QCOMPARE(::served(look).join(QLatin1Char(',')), served[i]);
            for (const FoundPort &port : look.serve)
                book.ended(port.name, QStringLiteral("Update Success!"));
        }
    }

    void aBoardStillRunningIsNotServedAgainNorRemoved() {
        WatchBook book;
        book.look(ports({"u0=/dev/ttyUSB0#1"}));
        QCOMPARE(served(book.look(ports({"u0=/dev/ttyUSB0#1"}))), QStringList{"u0"});
        // Its by-id link shows up while it runs: the device is busy.
        QVERIFY(book.look(ports({"u0=/dev/ttyUSB0#1", "id=/dev/ttyUSB0#1"})).serve.empty());
        // Taken off while it runs: its end says so, not the look.
        QVERIFY(book.look({}).removed.empty());
        book.ended(QStringLiteral("u0"), QStringLiteral("Transfer Fail!"));
        book.look({});
        book.look(ports({"u0=/dev/ttyUSB0#3"}));
        QCOMPARE(served(book.look(ports({"u0=/dev/ttyUSB0#3"}))), QStringList{"u0"});
        book.ended(QStringLiteral("u0"), QStringLiteral("Update Success!"));
        const WatchLook gone = book.look({});
        QCOMPARE(gone.removed.size(), size_t(1));
        QCOMPARE(gone.removed.front().second, QStringLiteral("Update Success!"));
    }

    void anUnreachablePortIsNamedOnce() {
        WatchBook book;
        QCOMPARE(book.unreachable({"/dev/ttyUSB9"}).size(), size_t(1));
        QVERIFY(book.unreachable({"/dev/ttyUSB9"}).empty());
    }

    void aProblemIsSaidOnceWhereverItsLineMoves() {
        WatchBook book;
        const QString bad = "\"ports.ini\" line %1, \"COMx=/dev/ttyUSB1\": not used";
        QCOMPARE(book.unsaid({bad.arg(2)}), std::vector<QString>{bad.arg(2)});
        // The file written anew as a port took its number.
        QVERIFY(book.unsaid({bad.arg(5)}).empty());
        const QString other = "\"ports.ini\" line 5, \"COMy=/dev/ttyUSB1\": not used";
        QCOMPARE(book.unsaid({bad.arg(6), other}), std::vector<QString>{other});
    }
};

QTEST_APPLESS_MAIN(TestWatchBook)
#include "tst_watch_book.moc"
