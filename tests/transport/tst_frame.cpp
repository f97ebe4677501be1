// Frame building and reassembly, without a pipe: whatever way the bytes are cut into chunks,
// every payload comes out once, in order, and bad length fields are dropped without spinning.

#include "PlatformKKWrapper/VXPipeFrame.h"

#include <QtTest>

#include <climits>

using Chunks = QList<QByteArray>;
Q_DECLARE_METATYPE(Chunks)

namespace {

QByteArray Frame(const QByteArray& payload)
{
    return VXPipeFrame::Pack(payload);
}

QByteArray RawLength(int length)
{
    QByteArray bytes(4, '\0');
    const unsigned bits = unsigned(length);
    for (int i = 0; i < 4; ++i)
        bytes[i] = char(bits >> (8 * i));
    return bytes;
}

struct Run
{
    QList<QByteArray> payloads;
    int dropped = 0;
    int maxBufferedBetweenCalls = 0;
    QByteArray buffer;

    void Feed(const QByteArray& chunk)
    {
        const auto outcome = VXPipeFrame::Reassemble(buffer, chunk.constData(), chunk.size(),
                                                     [this](const QByteArray& p) { payloads.append(p); });
        dropped += outcome.dropped ? 1 : 0;
        maxBufferedBetweenCalls = qMax(maxBufferedBetweenCalls, buffer.size());
    }
};

QByteArray Pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + 7) & 0xFF);
    return bytes;
}

}  // namespace

class TestFrame : public QObject
{
    Q_OBJECT

private slots:
    void packPrefixesTheLength_data();
    void packPrefixesTheLength();
    void reassembles_data();
    void reassembles();
    void splitAtEveryBytePosition();
    void oneByteAtATime_data();
    void oneByteAtATime();
    void largestValidLengthWaitsForItsBytes();
};

void TestFrame::packPrefixesTheLength_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("1 byte") << QByteArray("x");
    QTest::newRow("2049 bytes") << Pattern(2049);
    QTest::newRow("5000 bytes with NULs") << Pattern(5000);
}

void TestFrame::packPrefixesTheLength()
{
    QFETCH(QByteArray, payload);
    const QByteArray frame = VXPipeFrame::Pack(payload);
    QCOMPARE(frame.size(), payload.size() + 4);
    QCOMPARE(frame.left(4), RawLength(payload.size()));
    QCOMPARE(frame.mid(4), payload);
}

void TestFrame::reassembles_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<Chunks>("payloads");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<int>("leftOver");

    const QByteArray a("first"), b("second payload");
    QTest::newRow("two frames in one chunk") << Chunks{Frame(a) + Frame(b)} << Chunks{a, b} << 0 << 0;
    QTest::newRow("frame split over two chunks")
        << Chunks{Frame(b).left(9), Frame(b).mid(9)} << Chunks{b} << 0 << 0;
    QTest::newRow("chunk ends inside the length")
        << Chunks{Frame(a) + Frame(b).left(2), Frame(b).mid(2)} << Chunks{a, b} << 0 << 0;
    QTest::newRow("zero-length frame") << Chunks{Frame(QByteArray()) + Frame(a)} << Chunks{QByteArray(), a} << 0 << 0;
    QTest::newRow("1-byte frame") << Chunks{Frame("z")} << Chunks{QByteArray("z")} << 0 << 0;
    QTest::newRow("5000-byte frame in 2048-byte chunks")
        << Chunks{Frame(Pattern(5000)).left(2048), Frame(Pattern(5000)).mid(2048, 2048), Frame(Pattern(5000)).mid(4096)}
        << Chunks{Pattern(5000)} << 0 << 0;
    QTest::newRow("incomplete frame is kept") << Chunks{Frame(b).left(10)} << Chunks{} << 0 << 10;
    QTest::newRow("fewer than 4 bytes are kept") << Chunks{QByteArray("\x05\x00", 2)} << Chunks{} << 0 << 2;
    QTest::newRow("negative length drops the buffer")
        << Chunks{RawLength(-1) + QByteArray("garbage")} << Chunks{} << 1 << 0;
    QTest::newRow("INT_MIN length drops the buffer") << Chunks{RawLength(INT_MIN)} << Chunks{} << 1 << 0;
    QTest::newRow("length whose frame overflows an int")
        << Chunks{RawLength(2147483644) + QByteArray("x")} << Chunks{} << 1 << 0;
    QTest::newRow("INT_MAX length") << Chunks{RawLength(INT_MAX)} << Chunks{} << 1 << 0;
    QTest::newRow("good frames before a bad length still come out")
        << Chunks{Frame(a) + RawLength(-7) + Frame(b)} << Chunks{a} << 1 << 0;
    QTest::newRow("frames after a dropped buffer are read again")
        << Chunks{RawLength(-7) + QByteArray("junk"), Frame(b)} << Chunks{b} << 1 << 0;
}

void TestFrame::reassembles()
{
    QFETCH(Chunks, chunks);
    QFETCH(Chunks, payloads);
    QFETCH(int, dropped);
    QFETCH(int, leftOver);
    Run run;
    for (const QByteArray& chunk : chunks)
        run.Feed(chunk);
    QCOMPARE(run.payloads, payloads);
    QCOMPARE(run.dropped, dropped);
    QCOMPARE(run.buffer.size(), leftOver);
}

// A stream of three frames cut into two chunks at every position, the 4 length bytes included.
void TestFrame::splitAtEveryBytePosition()
{
    const Chunks expected{QByteArray("alpha"), QByteArray(), Pattern(300)};
    QByteArray stream;
    for (const QByteArray& p : expected)
        stream += Frame(p);
    for (int cut = 0; cut <= stream.size(); ++cut) {
        Run run;
        run.Feed(stream.left(cut));
        run.Feed(stream.mid(cut));
        QVERIFY2(run.payloads == expected, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        QCOMPARE(run.buffer.size(), 0);
        QVERIFY(run.maxBufferedBetweenCalls <= Frame(Pattern(300)).size());  // one incomplete frame at most
    }
}

void TestFrame::oneByteAtATime_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("1 byte") << QByteArray("!");
    QTest::newRow("5000 bytes") << Pattern(5000);
}

void TestFrame::oneByteAtATime()
{
    QFETCH(QByteArray, payload);
    const QByteArray stream = Frame(payload) + Frame(payload);
    Run run;
    for (int i = 0; i < stream.size(); ++i) {
        run.Feed(stream.mid(i, 1));
        if (i == Frame(payload).size() - 2)
            QCOMPARE(run.payloads.size(), 0);  // not before its last byte
    }
    QCOMPARE(run.payloads, Chunks({payload, payload}));
    QCOMPARE(run.buffer.size(), 0);
}

void TestFrame::largestValidLengthWaitsForItsBytes()
{
    Run run;
    run.Feed(RawLength(VXPipeFrame::kMaxPayload) + QByteArray("start of a very long payload"));
    QCOMPARE(run.dropped, 0);
    QCOMPARE(run.payloads.size(), 0);
    QCOMPARE(run.buffer.size(), 4 + 28);
}

QTEST_GUILESS_MAIN(TestFrame)
#include "tst_frame.moc"
