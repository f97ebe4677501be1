// Frame building and reassembly, without a pipe: the length goes first, little-endian; whatever
// way the bytes are cut into chunks, every payload comes out once, in order, and no earlier; a
// bad length field drops the buffer without allocating or spinning.

#include "TransportTest.h"

#include "PlatformKKWrapper/VXPipeFrame.h"

#include <QtTest>

#include <climits>

using Chunks = QList<QByteArray>;

namespace {

QByteArray Frame(const QByteArray& payload)
{
    return VXPipeFrame::Pack(payload);
}

struct Run
{
    Chunks payloads;
    int dropped = 0;
    int maxBuffered = 0;  // between calls
    QByteArray buffer;

    Run& Feed(const QByteArray& chunk)
    {
        const auto outcome = VXPipeFrame::Reassemble(buffer, chunk.constData(), chunk.size(),
                                                     [this](const QByteArray& p) { payloads.append(p); });
        dropped += outcome.dropped ? 1 : 0;
        maxBuffered = qMax(maxBuffered, buffer.size());
        return *this;
    }
};

}  // namespace

class TestFrame : public QObject
{
    Q_OBJECT

private slots:
    void packPrefixesTheLength();
    void reassembles_data();
    void reassembles();
    void anyCutOfAStream();
};

void TestFrame::packPrefixesTheLength()
{
    for (int size : {0, 1, 0x1234, 70000}) {
        const QByteArray payload = Pattern(size);
        QCOMPARE(Frame(payload), RawLength(quint32(size)) + payload);
    }
}

void TestFrame::reassembles_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<Chunks>("payloads");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<int>("leftOver");

    const QByteArray a("first"), b("second payload"), big = Frame(Pattern(5000));
    QTest::newRow("two frames in one chunk") << Chunks{Frame(a) + Frame(b)} << Chunks{a, b} << 0 << 0;
    QTest::newRow("chunk ends inside the length")
        << Chunks{Frame(a) + Frame(b).left(2), Frame(b).mid(2)} << Chunks{a, b} << 0 << 0;
    QTest::newRow("zero-length frame") << Chunks{Frame({}) + Frame(a)} << Chunks{QByteArray(), a} << 0 << 0;
    QTest::newRow("5000-byte frame in 2048-byte chunks")
        << Chunks{big.left(2048), big.mid(2048, 2048), big.mid(4096)} << Chunks{Pattern(5000)} << 0 << 0;
    QTest::newRow("incomplete frame is kept") << Chunks{Frame(b).left(10)} << Chunks{} << 0 << 10;
    QTest::newRow("fewer than 4 bytes are kept") << Chunks{QByteArray("\x05\x00", 2)} << Chunks{} << 0 << 2;
    QTest::newRow("largest valid length waits for its bytes")
        << Chunks{RawLength(VXPipeFrame::kMaxPayload) + "start"} << Chunks{} << 0 << 9;
    QTest::newRow("negative length") << Chunks{RawLength(quint32(-1)) + "garbage"} << Chunks{} << 1 << 0;
    QTest::newRow("INT_MIN length") << Chunks{RawLength(quint32(INT_MIN))} << Chunks{} << 1 << 0;
    QTest::newRow("frame would overflow an int") << Chunks{RawLength(INT_MAX - 3) + "x"} << Chunks{} << 1 << 0;
    QTest::newRow("good frames before a bad length still come out")
        << Chunks{Frame(a) + RawLength(quint32(-7)) + Frame(b)} << Chunks{a} << 1 << 0;
    QTest::newRow("frames after a dropped buffer are read again")
        << Chunks{RawLength(quint32(-7)) + "junk", Frame(b)} << Chunks{b} << 1 << 0;
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

// Three frames cut in two at every position (the length bytes included), and fed a byte at a time.
void TestFrame::anyCutOfAStream()
{
    const Chunks expected{QByteArray("alpha"), QByteArray(), Pattern(300)};
    QByteArray stream;
    for (const QByteArray& p : expected)
        stream += Frame(p);
    for (int cut = 0; cut <= stream.size(); ++cut) {
        Run run;
        run.Feed(stream.left(cut)).Feed(stream.mid(cut));
        QVERIFY2(run.payloads == expected, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        QCOMPARE(run.buffer.size(), 0);
        QVERIFY(run.maxBuffered <= Frame(Pattern(300)).size());  // one incomplete frame at most
    }
    Run run;
    for (int i = 0; i < stream.size(); ++i) {
        run.Feed(stream.mid(i, 1));
        QCOMPARE(run.payloads.size(), i < 8 ? 0 : i < 12 ? 1 : i < stream.size() - 1 ? 2 : 3);
    }
    QCOMPARE(run.payloads, expected);
}

QTEST_GUILESS_MAIN(TestFrame)
#include "tst_frame.moc"
