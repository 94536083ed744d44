#include "link/checksum.h"
#include "link/command_code.h"

#include <QtTest>

class TestChecksum : public QObject {
    Q_OBJECT
private slots:
    void blockCrc_data();
    void blockCrc();
    void blockCrcIsNotTheCommonCrc32();
    void crcToBytes_data();
    void crcToBytes();
    void radixToInt_data();
    void radixToInt();
    void commandText_data();
    void commandText();
};

void TestChecksum::blockCrc_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("count");
    QTest::addColumn<quint32>("crc");
    QByteArray ascending(256, 0);
    for (int i = 0; i < 256; ++i)
        ascending[i] = char(i);
    QTest::newRow("zeros") << QByteArray(256, 0) << 256 << 0x00000000u;
    QTest::newRow("ones") << QByteArray(256, char(0xFF)) << 256 << 0x80FB259Bu;
    QTest::newRow("0..255") << ascending << 256 << 0xB27A31C2u;
    QTest::newRow("abc, count 3") << QByteArray("abc").leftJustified(256, 'z') << 3 << 0x00616263u;
    QTest::newRow("count 0") << ascending << 0 << 0u;
    QTest::newRow("count -1") << ascending << -1 << 0u;
}

void TestChecksum::blockCrc() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, count);
    QFETCH(quint32, crc);
    Block block{};
    std::copy(bytes.begin(), bytes.end(), block.begin());
    QCOMPARE(BlockCrc(block, count), crc);
}

void TestChecksum::blockCrcIsNotTheCommonCrc32() {
    // The common CRC-32 of "123456789" is 0xCBF43926; ours must differ, and the first four bytes
    // enter the register unchanged.
    Block block{};
    const char digits[] = "123456789";
    std::copy(digits, digits + 9, block.begin());
    QVERIFY(BlockCrc(block, 9) != 0xCBF43926u);
    QCOMPARE(BlockCrc(block, 4), 0x31323334u);
}

void TestChecksum::crcToBytes_data() {
    QTest::addColumn<quint32>("crc");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("0") << 0u << QByteArray::fromHex("00000000");
    QTest::newRow("ones") << 0x80FB259Bu << QByteArray::fromHex("9B25FB80");
    QTest::newRow("ascending") << 0xB27A31C2u << QByteArray::fromHex("C2317AB2");
}

void TestChecksum::crcToBytes() {
    QFETCH(quint32, crc);
    QFETCH(QByteArray, bytes);
    const auto out = CrcToBytes(crc);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(out.data()), 4), bytes);
}

void TestChecksum::radixToInt_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("radix");
    QTest::addColumn<int>("bound");
    QTest::addColumn<int>("value");
    QTest::newRow("FF") << QByteArray("FF") << 16 << 255 << 255;
    QTest::newRow("ff") << QByteArray("ff") << 16 << 255 << 255;
    QTest::newRow("0A") << QByteArray("0A") << 16 << 255 << 10;
    QTest::newRow("7G") << QByteArray("7G") << 16 << 255 << 7;
    QTest::newRow("G7") << QByteArray("G7") << 16 << 255 << 0;
    QTest::newRow("empty") << QByteArray() << 16 << 255 << 0;
    QTest::newRow("NUL 5") << QByteArray("\0"
                                         "5",
                                         2)
                           << 16 << 255 << 5;
    QTest::newRow("255") << QByteArray("255") << 10 << 255 << 255;
    QTest::newRow("256") << QByteArray("256") << 10 << 255 << 25;
    QTest::newRow("300") << QByteArray("300") << 10 << 255 << 30;
    QTest::newRow("blank 5") << QByteArray(" 5") << 10 << 255 << 0;
    QTest::newRow("-5") << QByteArray("-5") << 10 << 255 << 0;
    QTest::newRow("5") << QByteArray("5") << 10 << 255 << 5;
    QTest::newRow("radix 1") << QByteArray("0") << 1 << 255 << 0;
    QTest::newRow("radix 37") << QByteArray("1") << 37 << 255 << 0;
    QTest::newRow("Z") << QByteArray("Z") << 36 << 100 << 35;
    QTest::newRow("ZZ") << QByteArray("ZZ") << 36 << 100 << 35;
}

void TestChecksum::radixToInt() {
    QFETCH(QByteArray, text);
    QFETCH(int, radix);
    QFETCH(int, bound);
    QFETCH(int, value);
    QCOMPARE(RadixToInt(text, radix, bound), value);
}

void TestChecksum::commandText_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("TSPO") << 0 << QByteArray("KZVNTSPO");
    QTest::newRow("RRSS") << 15 << QByteArray("KZVNRRSS");
    QTest::newRow("RWFS") << 21 << QByteArray("KZVNRWFS");
    QTest::newRow("22") << 22 << QByteArray("KZVN");
    QTest::newRow("-1") << -1 << QByteArray("KZVN");
}

void TestChecksum::commandText() {
    QFETCH(int, code);
    QFETCH(QByteArray, text);
    QCOMPARE(CommandText(code), text);
}

QTEST_GUILESS_MAIN(TestChecksum)
#include "tst_checksum.moc"
