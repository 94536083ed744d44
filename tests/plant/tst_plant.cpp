// The plant's parts without a broker: the broker's address as the operator writes it, the
// outbox's bound, its seal and its sweep, the station's record count and its status topic.
#include "plant/broker_address.h"
#include "plant/outbox.h"
#include "plant/publish_settings.h"
#include "plant/record_sequence.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <thread>

namespace {

QByteArray record(const QString &id, int k) {
    return QJsonDocument(QJsonObject{{"id", id}, {"k", k}}).toJson(QJsonDocument::Compact);
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestPlant : public QObject {
    Q_OBJECT
private slots:
    void brokerAddresses_data();
    void brokerAddresses();
    void fullOutboxKeepsWhatItHolds();
    void outboxReadsOnlyWhatItWrote_data();
    void outboxReadsOnlyWhatItWrote();
    void deliveredRecordsAreSwept();
    void recordsAreNumberedOnceAcrossProcesses();
    void statusTopicAndClientId();
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
    QTest::newRow("the broker's own topics") << "mqtt://h/$SYS/broker/records"
                                             << ""
                                             << "are the broker's own";
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
    const QString key = dir.filePath("state/seal.key");
    Outbox outbox(folder, key, 3);
    QString why;
    QVERIFY2(outbox.open(&why), qPrintable(why));
    QVERIFY(outbox.deliver());
    QStringList names;
    for (int k = 0; k < 4; ++k) {
        std::string name;
        const QString id = QStringLiteral("id-%1").arg(k);
        const Outbox::Added added = outbox.add(record(id, k), id, &name, &why);
        // The oldest stay: the record that finds it full is the one refused.
        QCOMPARE(added, k < 3 ? Outbox::Added::Kept : Outbox::Added::Full);
        if (added == Outbox::Added::Kept)
            names << QString::fromStdString(name);
    }
    // What a kill left half-written is no record.
    QVERIFY(writeFile(folder + "/.0000-half.json.part", "{\"k\":"));

    // A station started later finds them, oldest first, whole.
    Outbox later(folder, key, 3);
    QVERIFY2(later.open(&why), qPrintable(why));
    QCOMPARE(later.count(), 3);
    std::vector<std::string> oldest = later.oldest(10);
    QCOMPARE(oldest.size(), size_t(3));
    for (int k = 0; k < 3; ++k) {
        QCOMPARE(QString::fromStdString(oldest[size_t(k)]), names[k]);
        const Outbox::Read read = later.read(oldest[size_t(k)]);
        QCOMPARE(read.verdict, Outbox::Read::Verdict::Record);
        QCOMPARE(read.payload, record(QStringLiteral("id-%1").arg(k), k));
    }
    // Room again once the broker took one.
    later.remove(oldest[0]);
    std::string name;
    QCOMPARE(later.add(record("id-4", 4), "id-4", &name, &why), Outbox::Added::Kept);
    QCOMPARE(later.oldest(10).size(), size_t(3));
}

void TestPlant::outboxReadsOnlyWhatItWrote_data() {
    QTest::addColumn<QString>("file"); // its name; RECORD stands for a record's name
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<QString>("why");
    const QByteArray planted = record("0d5fa8f2-3a4c-4b47-8b1c-111111111111", 1);
    const auto refused = int(Outbox::Read::Verdict::Refused);
    QTest::newRow("a record cut short")
        << "RECORD" << QByteArray("{\"id\":\"trunc") << refused << "no whole JSON record";
    QTest::newRow("random bytes") << "RECORD" << QByteArray() << refused << "no whole JSON record";
    QTest::newRow("a record under another's name")
        << "RECORD" << planted << refused << "its id is not the one its name gives";
    QTest::newRow("a planted record")
        << "00061a8b2c3d4e5f-0d5fa8f2-3a4c-4b47-8b1c-111111111111.0123456789abcdef0123456789abcdef."
           "json"
        << planted << refused << "no seal of this outbox's";
    QTest::newRow("a record of no seal at all")
        << "00061a8b2c3d4e5f-0d5fa8f2-3a4c-4b47-8b1c-111111111111.json" << planted << refused
        << "no seal of this outbox's";
    QTest::newRow("a folder") << "00061a8b2c3d4e5f-folder.json" << QByteArray()
                              << int(Outbox::Read::Verdict::Unreadable) << "a directory, not a file";
}

void TestPlant::outboxReadsOnlyWhatItWrote() {
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(int, verdict);
    QFETCH(QString, why);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Outbox outbox(dir.filePath("outbox"), dir.filePath("seal.key"));
    QString error;
    QVERIFY2(outbox.open(&error), qPrintable(error));
    std::string name;
    const QString id = "4e3a8b7c-0000-4000-8000-000000000001";
    QCOMPARE(outbox.add(record(id, 0), id, &name, &error), Outbox::Added::Kept);
    QCOMPARE(outbox.read(name).verdict, Outbox::Read::Verdict::Record);
    if (content.isEmpty() && file == "RECORD") {
        content.resize(3000);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(content.data()), 750);
    }
    const QString path =
        dir.filePath("outbox/") + (file == "RECORD" ? QString::fromStdString(name) : file);
    if (file.contains("folder"))
        QVERIFY(QDir().mkpath(path));
    else
        QVERIFY(writeFile(path, content));

    const Outbox::Read read =
        outbox.read(QFile::encodeName(QFileInfo(path).fileName()).toStdString());
    QCOMPARE(int(read.verdict), verdict);
    QVERIFY2(read.why.contains(why), qPrintable(read.why));
    QVERIFY(read.payload.isEmpty());
}

void TestPlant::deliveredRecordsAreSwept() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Outbox outbox(dir.filePath("outbox"), dir.filePath("seal.key"));
    QString why;
    QVERIFY2(outbox.open(&why), qPrintable(why));
    for (int k = 0; k < 25; ++k) {
        std::string name;
        const QString id = QStringLiteral("id-%1").arg(k);
        QCOMPARE(outbox.add(record(id, k), id, &name, &why), Outbox::Added::Kept);
    }
    // Taken by the broker: out of the outbox at once, off the disk a few at a time.
    for (const std::string &name : outbox.oldest(100))
        outbox.remove(name);
    QCOMPARE(outbox.count(), 0);
    QCOMPARE(outbox.oldest(100).size(), size_t(0));
    const auto left = [&] { return QDir(dir.filePath("outbox/delivered")).count() - 2; };
    QCOMPARE(left(), 25u);
    QVERIFY(outbox.sweep(20)); // more left
    QCOMPARE(left(), 5u);
    QVERIFY(!outbox.sweep(20));
    QCOMPARE(left(), 0u);
}

void TestPlant::recordsAreNumberedOnceAcrossProcesses() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Two of the station's processes, each with its own hold on the count, numbering at once.
    constexpr int Each = 100;
    std::vector<qint64> numbers[2];
    QString errors[2];
    {
        RecordSequence first("ST-1", dir.path());
        RecordSequence second("ST-1", dir.path());
        std::thread a([&] {
            for (int k = 0; k < Each; ++k) {
                qint64 n = 0;
                if (first.next(&n, &errors[0]))
                    numbers[0].push_back(n);
            }
        });
        std::thread b([&] {
            for (int k = 0; k < Each; ++k) {
                qint64 n = 0;
                if (second.next(&n, &errors[1]))
                    numbers[1].push_back(n);
            }
        });
        a.join();
        b.join();
    }
    QVERIFY2(errors[0].isEmpty() && errors[1].isEmpty(), qPrintable(errors[0] + errors[1]));
    QSet<qint64> all;
    for (const auto &some : numbers)
        for (const qint64 n : some)
            all.insert(n);
    QCOMPARE(all.size(), 2 * Each);
    QCOMPARE(*std::min_element(all.begin(), all.end()), 1);
    QCOMPARE(*std::max_element(all.begin(), all.end()), 2 * Each);

    // The next run goes on from there; another station counts for itself.
    RecordSequence again("ST-1", dir.path());
    qint64 n = 0;
    QString why;
    QVERIFY2(again.next(&n, &why), qPrintable(why));
    QCOMPARE(n, 2 * Each + 1);
    RecordSequence other("ST-2", dir.path());
    QVERIFY2(other.next(&n, &why), qPrintable(why));
    QCOMPARE(n, 1);

    // A count that is no number is said, never replaced by a new one.
    QVERIFY(writeFile(again.path(), "twelve\n"));
    QVERIFY(!again.next(&n, &why));
    QVERIFY2(why.contains("holds no count"), qPrintable(why));
}

void TestPlant::statusTopicAndClientId() {
    PublishSettings settings;
    QVERIFY(
        ParseBrokerAddress("mqtts://u@plant:8883/plant/line1/records", &settings.broker).isEmpty());
    settings.station = "ST-1";
    QCOMPARE(StatusTopic(settings), QStringLiteral("plant/line1/status/ST-1"));
    const QByteArray id = ClientId(settings);
    QVERIFY(id.size() <= 23);
    QCOMPARE(ClientId(settings), id);
    PublishSettings other = settings;
    other.station = "ST-2";
    QVERIFY(ClientId(other) != id);
    other = settings;
    other.broker.topic = "records";
    QCOMPARE(StatusTopic(other), QStringLiteral("status/ST-1"));
    QVERIFY(ClientId(other) != id);
}

QTEST_GUILESS_MAIN(TestPlant)
#include "tst_plant.moc"
