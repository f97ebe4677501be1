// The wire conversions: the length prefix's byte order is fixed (little-endian) and
// IntToBytes/BytesToInt are exact inverses over every frame length.

#include "VXFoundation/VXIpcUtils.h"

#include <QtTest>

#include <climits>
#include <cstring>

class TestIpcUtils : public QObject
{
    Q_OBJECT

private slots:
    void byteOrder_data();
    void byteOrder();
    void inverseForEveryFrameLength();
    void readsAtOffset();
    void shortAndLongBuffers();
    void charToWchar_data();
    void charToWchar();
};

void TestIpcUtils::byteOrder_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("0") << 0 << QByteArray("\x00\x00\x00\x00", 4);
    QTest::newRow("1") << 1 << QByteArray("\x01\x00\x00\x00", 4);
    QTest::newRow("2049") << 2049 << QByteArray("\x01\x08\x00\x00", 4);
    QTest::newRow("0x12345678") << 0x12345678 << QByteArray("\x78\x56\x34\x12", 4);
    QTest::newRow("max frame") << 2147483643 << QByteArray("\xfb\xff\xff\x7f", 4);
    QTest::newRow("INT_MAX") << INT_MAX << QByteArray("\xff\xff\xff\x7f", 4);
    QTest::newRow("-1") << -1 << QByteArray("\xff\xff\xff\xff", 4);
    QTest::newRow("INT_MIN") << INT_MIN << QByteArray("\x00\x00\x00\x80", 4);
}

void TestIpcUtils::byteOrder()
{
    QFETCH(int, value);
    QFETCH(QByteArray, bytes);
    unsigned char buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    VXIpcUtils::IntToBytes(value, buffer, 4);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer), 4), bytes);
    QCOMPARE(VXIpcUtils::BytesToInt(reinterpret_cast<const unsigned char*>(bytes.constData()), 0), value);
}

// Every N from 0 to 2,147,483,643 (so that N + 4 fits an int). Sanitizer builds, which run
// this loop many times slower, check every 97th value plus both ends.
void TestIpcUtils::inverseForEveryFrameLength()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const unsigned step = 97;
#else
    const unsigned step = 1;
#endif
    const unsigned last = 2147483643u;
    unsigned char buffer[4];
    unsigned mismatches = 0;
    for (unsigned n = 0;; n += step) {
        if (n > last)
            n = last;
        VXIpcUtils::IntToBytes(int(n), buffer, 4);
        mismatches += VXIpcUtils::BytesToInt(buffer, 0) != int(n) ? 1 : 0;
        if (n == last)
            break;
    }
    QCOMPARE(mismatches, 0u);
}

void TestIpcUtils::readsAtOffset()
{
    unsigned char buffer[12] = {};
    VXIpcUtils::IntToBytes(5000, buffer + 7, 4);
    QCOMPARE(VXIpcUtils::BytesToInt(buffer, 7), 5000);
}

void TestIpcUtils::shortAndLongBuffers()
{
    unsigned char two[2] = {0, 0};
    unsigned char guard[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    VXIpcUtils::IntToBytes(0x01020304, two, 2);
    QCOMPARE(two[0], 0x04);
    QCOMPARE(two[1], 0x03);
    VXIpcUtils::IntToBytes(-1, guard, 6);  // four value bytes, then zeros
    const unsigned char expected[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    QVERIFY(std::memcmp(guard, expected, 6) == 0);
}

void TestIpcUtils::charToWchar_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("pipe name") << QStringLiteral("\\\\.\\pipe\\writepipe_{6b1f0e4c-8d3a-4c55-9a71-0c2f5e8b9d10}");
    QTest::newRow("256 characters") << QString(256, QLatin1Char('x'));
    QTest::newRow("non-ASCII") << QStringLiteral("管道\u00e9");
}

void TestIpcUtils::charToWchar()
{
    QFETCH(QString, text);
    wchar_t buffer[300];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    const int written = VXIpcUtils::CharToWchar(text, buffer);
    QCOMPARE(written, text.size());
    QCOMPARE(buffer[written], L'\0');
    QCOMPARE(QString::fromWCharArray(buffer), text);
    QCOMPARE(buffer[written + 1], L'#');  // nothing written past the terminator
}

QTEST_GUILESS_MAIN(TestIpcUtils)
#include "tst_ipcutils.moc"
