// The plant's parts without a broker: the broker's address as the operator writes it, and the
// outbox's bound.
#include "plant/broker_address.h"
#include "plant/outbox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestPlant : public QObject {
    Q_OBJECT
private slots:
    void brokerAddresses_data();
    void brokerAddresses();
    void fullOutboxKeepsWhatItHolds();
};

void TestPlant::brokerAddresses_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("read"); // as text(), or empty when refused
    QTest::addColumn<QString>("error");
    QTest::newRow("plain, default port") << "mqtt://plant.example/line1/records"
                                         << "mqtt://plant.example:1883/line1/records"
                                         << "";
    QTest::newRow("TLS, user, port") << "mqtts://station@10.0.0.5:9883/a/b"
                                     << "mqtts://station@10.0.0.5:9883/a/b"
                                     << "";
    QTest::newRow("TLS, default port") << "MQTTS://h/t"
                                       << "mqtts://h:8883/t"
                                       << "";
    QTest::newRow("IPv6") << "mqtt://[::1]/t"
                          << "mqtt://[::1]:1883/t"
                          << "";
    QTest::newRow("an escaped topic") << "mqtt://h/line%201"
                                      << "mqtt://h:1883/line 1"
                                      << "";
    QTest::newRow("a password") << "mqtt://u:secret@h/t"
                                << ""
                                << "never goes on the command line";
    QTest::newRow("no topic") << "mqtt://h/"
                              << ""
                              << "names no topic";
    QTest::newRow("no host") << "mqtt:///t"
                             << ""
                             << "names no broker host";
    QTest::newRow("another scheme") << "http://h/t"
                                    << ""
                                    << "is no broker address";
    QTest::newRow("a wildcard") << "mqtt://h/line/+"
                                << ""
                                << "without wildcards";
    QTest::newRow("an escaped wildcard") << "mqtt://h/line%23"
                                         << ""
                                         << "without wildcards";
    QTest::newRow("a query") << "mqtt://h/t?qos=0"
                             << ""
                             << "the topic is its path";
    QTest::newRow("a port out of range") << "mqtt://h:70000/t"
                                         << ""
                                         << "is no broker address";
}

void TestPlant::brokerAddresses() {
    QFETCH(QString, url);
    QFETCH(QString, read);
    QFETCH(QString, error);
    BrokerAddress address;
    const QString why = ParseBrokerAddress(url, &address);
    if (error.isEmpty()) {
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QCOMPARE(address.text(), read);
    } else {
        QVERIFY2(why.contains(error), qPrintable(why));
    }
}

void TestPlant::fullOutboxKeepsWhatItHolds() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath("state/outbox");
    Outbox outbox(folder, 3);
    QString why;
    QVERIFY2(outbox.open(&why), qPrintable(why));
    QVERIFY(outbox.deliver());
    QStringList names;
    for (int k = 0; k < 4; ++k) {
        std::string name;
        const Outbox::Added added = outbox.add(QByteArray("{\"k\":") + QByteArray::number(k) + '}',
                                               QStringLiteral("id-%1").arg(k), &name, &why);
        // The oldest stay: the record that finds it full is the one refused.
        QCOMPARE(added, k < 3 ? Outbox::Added::Kept : Outbox::Added::Full);
        if (added == Outbox::Added::Kept)
            names << QString::fromStdString(name);
    }
    // What a kill left half-written is no record.
    QFile part(folder + "/.0000-half.json.part");
    QVERIFY(part.open(QIODevice::WriteOnly) && part.write("{\"k\":") > 0);
    part.close();

    // A station started later finds them, oldest first, whole.
    Outbox later(folder, 3);
    QVERIFY2(later.open(&why), qPrintable(why));
    QCOMPARE(later.count(), 3);
    std::vector<std::string> oldest = later.oldest(10);
    QCOMPARE(oldest.size(), size_t(3));
    for (int k = 0; k < 3; ++k) {
        QCOMPARE(QString::fromStdString(oldest[size_t(k)]), names[k]);
        QCOMPARE(later.read(oldest[size_t(k)]),
                 QByteArray("{\"k\":") + QByteArray::number(k) + '}');
    }
    // Room again once the broker took one.
    later.remove(oldest[0]);
    std::string name;
    QCOMPARE(later.add("{}", "id-4", &name, &why), Outbox::Added::Kept);
    QCOMPARE(later.oldest(10).size(), size_t(3));
}

QTEST_GUILESS_MAIN(TestPlant)
#include "tst_plant.moc"
