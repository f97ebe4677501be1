// The two pipe ends over real pipes through the Win32 layer, each with a test client on the
// layer's client side: connecting either way round, frames of every size both ways, what a client
// sends (well or badly) and how it leaves, ending either end whatever the client does, and the
// sender's large writes to a slow client.

#include "PipeTestClient.h"
#include "TransportTest.h"

#include "PlatformKKWrapper/VXPipeReciver.h"
#include "PlatformKKWrapper/VXPipeSender.h"
#include "VXFoundation/VXThreadUtils.h"

#include <QtTest>

namespace {

// Both ends on fresh names, a test client for each, and what the receiver emits recorded in the
// test's thread (queued, as the server sees it).
struct Ends
{
    Ends()
    {
        QObject::connect(receiver, &VXPipeReciver::SigPipeConnected, &context, [this] { ++connected; });
        QObject::connect(receiver, &VXPipeReciver::SigPipeDisconnected, &context, [this] { ++disconnected; });
        QObject::connect(receiver, &VXPipeReciver::SigReadData, &context, [this](const QByteArray& d) { data << d; });
        QObject::connect(receiver, &VXPipeReciver::SigProtocolError, &context, [this](const QString& e) { errors << e; });
    }
    ~Ends()
    {
        receiver->SetExitEvent();
        receiver->wait();
        delete receiver;
        delete sender;
    }
    bool Create() { return receiver->CreatePipe(in) && sender->CreatePipe(out); }
    bool Start()
    {
        receiver->start();
        return VXThreadUtils::InvokeMethodQueued(sender, "Connect");
    }
    bool Open() { return toReceiver.Open(in) == ERROR_SUCCESS && fromSender.Open(out) == ERROR_SUCCESS; }

    const QString in = UniquePipeName(), out = UniquePipeName();
    QObject context;
    VXPipeReciver* receiver = new VXPipeReciver;
    VXPipeSender* sender = new VXPipeSender;
    PipeTestClient toReceiver, fromSender;
    int connected = 0, disconnected = 0;
    QList<QByteArray> data;
    QStringList errors;
};

}  // namespace

class TestPipeEnds : public QObject
{
    Q_OBJECT

private slots:
    void eachEndTakesClientBeforeOrAfterConnect_data();
    void eachEndTakesClientBeforeOrAfterConnect();
    void framesOfEverySizeBothWays_data();
    void framesOfEverySizeBothWays();
    void receiverHandlesWhatClientSends_data();
    void receiverHandlesWhatClientSends();
    void endingNeverWaitsForClient_data();
    void endingNeverWaitsForClient();
    void receiverWithoutPipeNeverConnects();
    void writePipeClientGoneBeforeConnectIsNoticed();
    void senderWriteReturnsOnceTheFrameIsWritten_data();
    void senderWriteReturnsOnceTheFrameIsWritten();
};

void TestPipeEnds::eachEndTakesClientBeforeOrAfterConnect_data()
{
    QTest::addColumn<bool>("clientFirst");
    QTest::newRow("client before ConnectNamedPipe") << true;
    QTest::newRow("client after") << false;
}

void TestPipeEnds::eachEndTakesClientBeforeOrAfterConnect()
{
    QFETCH(bool, clientFirst);
    Ends e;
    QVERIFY(e.Create());
    QVERIFY(!clientFirst || e.Open());
    QVERIFY(!e.sender->WriteData("not connected yet"));
    QVERIFY(e.Start());
    e.sender->QueueWrite("queued behind the connection");
    QVERIFY(clientFirst || e.Open());
    QTRY_COMPARE_WITH_TIMEOUT(e.connected, 1, kLong);
    QVERIFY(e.receiver->IsConnected());
    QVERIFY(e.toReceiver.WriteFrame("to the receiver"));  // its first read starts after the connection
    QTRY_COMPARE_WITH_TIMEOUT(e.data, QList<QByteArray>{"to the receiver"}, kLong);
    QCOMPARE(e.fromSender.ReadFrames(1), QList<QByteArray>{"queued behind the connection"});
    QVERIFY(e.sender->IsConnected());
    QCOMPARE(e.connected, 1);
}

// A client that opened the write pipe and closed it before the sender's ConnectNamedPipe (which
// then fails with ERROR_NO_DATA) has still come and gone: the receiver watching that pipe must
// learn of it, or the pipe stays busy with nobody coming.
void TestPipeEnds::writePipeClientGoneBeforeConnectIsNoticed()
{
    Ends e;
    QVERIFY(e.Create());
    e.receiver->WatchWritePipe(e.sender->PipeHandle(), e.sender->ConnectedEvent());
    QCOMPARE(e.fromSender.Open(e.out), DWORD(ERROR_SUCCESS));
    e.fromSender.Close();
    QVERIFY(e.Start());
    QTRY_COMPARE_WITH_TIMEOUT(e.disconnected, 1, kLong);
    QCOMPARE(e.connected, 0);
    QVERIFY(!e.sender->IsConnected());
}

void TestPipeEnds::framesOfEverySizeBothWays_data()
{
    QTest::addColumn<int>("size");
    for (int size : {0, 1, 2044, 2048, 2049, 2 * 2048 + 100, 1 << 20})
        QTest::addRow("%d bytes", size) << size;
}

// The receiver reads 2048 bytes at a time: a frame that fills a read, one a byte over, several
// reads. The sender writes each frame as one message, and nothing for an empty payload.
void TestPipeEnds::framesOfEverySizeBothWays()
{
    QFETCH(int, size);
    const QByteArray payload = Pattern(size);
    Ends e;
    QVERIFY(e.Create() && e.Start() && e.Open());
    QVERIFY(e.toReceiver.WriteFrame(payload));
    QVERIFY(e.toReceiver.WriteFrame("next"));
    QTRY_COMPARE_WITH_TIMEOUT(e.data.size(), 2, kLong);
    QVERIFY(e.data == (QList<QByteArray>{payload, "next"}));

    e.sender->QueueWrite(payload);
    e.sender->QueueWrite("next");
    QByteArray message;
    QVERIFY(e.fromSender.ReadMessage(&message));
    if (size > 0) {
        QVERIFY(message == VXPipeFrame::Pack(payload));
        QVERIFY(e.fromSender.ReadMessage(&message));
    }
    QCOMPARE(message, VXPipeFrame::Pack("next"));
}

void TestPipeEnds::receiverHandlesWhatClientSends_data()
{
    QTest::addColumn<QList<QByteArray>>("messages");
    QTest::addColumn<int>("limit");  // payload limit; 0: the default
    QTest::addColumn<QList<QByteArray>>("payloads");
    QTest::addColumn<QString>("report");  // part of SigProtocolError's text; empty: none
    using Bytes = QList<QByteArray>;
    const QByteArray frame = VXPipeFrame::Pack("dripped"), split = VXPipeFrame::Pack(Pattern(3000));
    Bytes drip;
    for (char c : frame)
        drip << QByteArray(1, c);
    const QByteArray p100 = Pattern(100);
    QTest::newRow("three frames in one message")
        << Bytes{VXPipeFrame::Pack("a") + VXPipeFrame::Pack("bb") + VXPipeFrame::Pack("ccc")} << 0
        << Bytes{"a", "bb", "ccc"} << QString();
    QTest::newRow("a frame cut inside its length, in three messages")
        << Bytes{split.left(2), split.mid(2, 2500), split.mid(2502)} << 0 << Bytes{Pattern(3000)} << QString();
    QTest::newRow("one byte per message") << drip << 0 << Bytes{"dripped"} << QString();
    QTest::newRow("leaves mid-frame") << Bytes{frame.left(6)} << 0 << Bytes{}
                                      << "the client left in the middle of a frame (6 of 11 bytes)";
    QTest::newRow("leaves inside the length") << Bytes{frame.left(2)} << 0 << Bytes{}
                                              << "the client left inside a frame's length field (2 of 4 bytes)";
    QTest::newRow("negative length") << Bytes{RawLength(quint32(-1)) + "garbage"} << 0 << Bytes{}
        << "frame length -1 is outside 0..134217728; dropped 11 buffered bytes and ended the connection";
    QTest::newRow("one over the default limit") << Bytes{RawLength(134217729)} << 0 << Bytes{}
                                                << "frame length 134217729 is outside 0..134217728";
    QTest::newRow("frame would overflow an int") << Bytes{RawLength(2147483644)} << 0 << Bytes{}
                                                 << "frame length 2147483644 is outside";
    QTest::newRow("text without a frame") << Bytes{"this is not a frame"} << 0 << Bytes{}
                                          << "frame length 1936287860 is outside";
    QTest::newRow("frame at a configured limit") << Bytes{VXPipeFrame::Pack(p100)} << 100 << Bytes{p100} << QString();
    QTest::newRow("frame over a configured limit")
        << Bytes{VXPipeFrame::Pack(p100) + VXPipeFrame::Pack(Pattern(101))} << 100 << Bytes{p100}
        << "frame length 101 is outside 0..100";
}

// Whatever the client sends, the receiver hands on every whole payload, neither crashes nor waits
// for bytes a bad length announces: it reports what broke the protocol and ends the connection
// itself, or sees the client go (with its next read pending).
void TestPipeEnds::receiverHandlesWhatClientSends()
{
    QFETCH(QList<QByteArray>, messages);
    QFETCH(int, limit);
    QFETCH(QList<QByteArray>, payloads);
    QFETCH(QString, report);
    const bool receiverEnds = report.startsWith(QStringLiteral("frame length"));
    Ends e;
    if (limit > 0)
        e.receiver->SetPayloadLimit(limit);
    QVERIFY(e.Create() && e.Start() && e.Open());
    QTRY_COMPARE_WITH_TIMEOUT(e.connected, 1, kLong);  // one that leaves before it is taken is never seen
    for (const QByteArray& message : messages)
        QVERIFY(e.toReceiver.Write(message));
    if (!receiverEnds) {
        QTRY_COMPARE_WITH_TIMEOUT(e.data.size(), payloads.size(), kLong);
        e.toReceiver.Close();
    }
    QTRY_COMPARE_WITH_TIMEOUT(e.disconnected, 1, kLong);
    QVERIFY(e.receiver->wait(kLong));
    QVERIFY(!e.receiver->IsConnected());
    QCOMPARE(e.data, payloads);
    QCOMPARE(e.errors.size(), report.isEmpty() ? 0 : 1);
    if (!report.isEmpty())
        QVERIFY2(e.errors[0].contains(report), qPrintable(e.errors[0]));
    if (receiverEnds) {  // the client sees the pipe closed under it
        QByteArray message;
        QVERIFY(!e.toReceiver.ReadMessage(&message, kLong));
        QVERIFY(e.toReceiver.LastError() != DWORD(WAIT_TIMEOUT));
    }
}

void TestPipeEnds::endingNeverWaitsForClient_data()
{
    QTest::addColumn<int>("situation");
    QTest::newRow("never started") << 0;
    QTest::newRow("waiting for a client") << 1;
    QTest::newRow("client connected and idle") << 2;
    QTest::newRow("client connected but stopped reading") << 3;
}

// The receiver's exit event and the sender's destructor end each end at once whatever the client
// does, and the receiver says nothing: whoever ends it knows. Both names are free again.
void TestPipeEnds::endingNeverWaitsForClient()
{
    QFETCH(int, situation);
    Ends e;
    QVERIFY(e.Create());
    QVERIFY(situation < 1 || e.Start());
    if (situation >= 2) {
        QVERIFY(e.Open());
        QTRY_COMPARE_WITH_TIMEOUT(e.connected, 1, kLong);
        QTRY_VERIFY_WITH_TIMEOUT(e.sender->IsConnected(), kLong);
    }
    for (int i = 0; situation == 3 && i < 64; ++i)  // far more than the pipe holds: a write blocks
        e.sender->QueueWrite(Pattern(1 << 20));
    e.receiver->SetExitEvent();
    QVERIFY(e.receiver->wait(kLong));
    delete e.sender;
    QCoreApplication::processEvents();
    QCOMPARE(e.disconnected, 0);
    delete e.receiver;
    e.receiver = new VXPipeReciver;
    e.sender = new VXPipeSender;
    QVERIFY(e.Create());
}

void TestPipeEnds::receiverWithoutPipeNeverConnects()
{
    const QString name = UniquePipeName();
    VXPipeReciver first;
    QVERIFY(first.CreatePipe(name));
    VXPipeReciver second;  // one instance per name: this one cannot be created
    QTest::ignoreMessage(QtDebugMsg, "CreateNamedPipe failed with 231./n");  // ERROR_PIPE_BUSY, read in time
    QVERIFY(!second.CreatePipe(name));
    second.start();  // returns at once: no pipe
    QVERIFY(second.wait(kLong));
    QVERIFY(!second.IsConnected());
}

void TestPipeEnds::senderWriteReturnsOnceTheFrameIsWritten_data()
{
    QTest::addColumn<bool>("queued");  // in the sender's thread, as the server's writes; else a direct call
    QTest::newRow("direct") << false;
    QTest::newRow("queued") << true;
}

// A 4 MiB frame on an overlapped handle to a client that reads slowly: the write returns only once
// the frame is written (the client has taken all but what the pipe itself holds: 2048 bytes on
// Windows, a socket buffer of a few hundred KiB here), it arrives whole as one message, and the
// connection wait that came before it on the same handle never completes in its place.
void TestPipeEnds::senderWriteReturnsOnceTheFrameIsWritten()
{
    QFETCH(bool, queued);
    const QByteArray payload = Pattern(4 * 1024 * 1024);
    Ends e;
    QVERIFY(e.Create() && e.Start() && e.Open());
    QTRY_VERIFY_WITH_TIMEOUT(e.sender->IsConnected(), kLong);
    SlowReader reader(e.fromSender.Handle(), payload.size() + 4);
    std::atomic<bool> written{false};
    std::atomic<qint64> takenWhenWritten{-1};
    const auto write = [&] {
        written = e.sender->WriteData(payload);
        takenWhenWritten = reader.Taken();
    };
    if (queued) {
        QMetaObject::invokeMethod(e.sender, write, Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(takenWhenWritten >= 0, kLong);
    } else {
        write();
    }
    QVERIFY(written);
    QVERIFY2(takenWhenWritten >= payload.size() + 4 - 1024 * 1024, qPrintable(QString::number(takenWhenWritten)));
    QVERIFY(reader.Join() == VXPipeFrame::Pack(payload));
}

QTEST_GUILESS_MAIN(TestPipeEnds)
#include "tst_pipeends.moc"
