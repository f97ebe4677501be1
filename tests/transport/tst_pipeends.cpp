// The two pipe ends over real pipes through the Win32 layer, with a test client on the layer's
// client side: the receiver's connection, reads and reassembly, the client leaving, the exit
// event; the sender's connection wait, queued writes and teardown.

#include "MessageCapture.h"
#include "PipeTestClient.h"

#include "PlatformKKWrapper/VXPipeReciver.h"
#include "PlatformKKWrapper/VXPipeSender.h"
#include "VXFoundation/VXThreadUtils.h"

#include <QSignalSpy>
#include <QThread>
#include <QUuid>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

QString UniquePipeName()
{
    return QStringLiteral("\\\\.\\pipe\\kktest_") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QByteArray Pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + 17) & 0xFF);
    return bytes;
}

// A receiver on a fresh pipe name, its signals recorded in the test's thread (queued, as the
// server would see them), and a test client for the other end. Start() creates the pipe and
// starts the thread; the destructor sets the exit event and joins it if it still runs.
class ReceiverUnderTest : public QObject
{
    Q_OBJECT
public:
    ReceiverUnderTest()
    {
        connect(receiver, &VXPipeReciver::SigPipeConnected, this, &ReceiverUnderTest::Connected);
        connect(receiver, &VXPipeReciver::SigPipeDisconnected, this, &ReceiverUnderTest::Disconnected);
        connect(receiver, &VXPipeReciver::SigReadData, this, &ReceiverUnderTest::Data);
        connect(receiver, &VXPipeReciver::SigProtocolError, this, &ReceiverUnderTest::ProtocolError);
    }
    ~ReceiverUnderTest() override
    {
        receiver->SetExitEvent();
        receiver->wait();
        delete receiver;
    }
    bool Start()
    {
        if (!receiver->CreatePipe(name))
            return false;
        receiver->start();
        return true;
    }

    const QString name = UniquePipeName();
    VXPipeReciver* receiver = new VXPipeReciver;  // deleted by the destructor, or by a test
    PipeTestClient client;
    QSignalSpy connected{this, &ReceiverUnderTest::Connected};
    QSignalSpy disconnected{this, &ReceiverUnderTest::Disconnected};
    QSignalSpy data{this, &ReceiverUnderTest::Data};
    QSignalSpy protocolErrors{this, &ReceiverUnderTest::ProtocolError};

signals:
    void Connected();
    void Disconnected();
    void Data(QByteArray data);
    void ProtocolError(QString text);
};

const int kLong = 30000;  // ms: generous limits for a loaded machine

}  // namespace

class TestPipeEnds : public QObject
{
    Q_OBJECT

private slots:
    // --- Receiver ----------------------------------------------------------------------------
    void receiverTakesClientBeforeOrAfterConnect_data();
    void receiverTakesClientBeforeOrAfterConnect();
    void receiverEmitsOnePayloadPerFrame_data();
    void receiverEmitsOnePayloadPerFrame();
    void receiverReassemblesAcrossMessages();
    void receiverSeesClientLeaveWithReadPending();
    void receiverSurvivesBadInput_data();
    void receiverSurvivesBadInput();
    void exitEventEndsThreadWithoutSignal_data();
    void exitEventEndsThreadWithoutSignal();
    void receiverWithoutPipeNeverConnects();

    // --- Sender ------------------------------------------------------------------------------
    void writeQueuedBeforeClientIsDeliveredAfter();
    void senderTakesClientThatCameFirst();
    void senderWritesEachFrameAsOneMessage();
    void senderWriteReturnsOnceTheFrameIsWritten_data();
    void senderWriteReturnsOnceTheFrameIsWritten();
    void senderRefusesEmptyPayloadAndUnconnectedWrites();
    void senderTeardownNeverWaitsForClient_data();
    void senderTeardownNeverWaitsForClient();
};

// ---------------------------------------------------------------------------------------------
// Receiver

void TestPipeEnds::receiverTakesClientBeforeOrAfterConnect_data()
{
    QTest::addColumn<bool>("clientFirst");
    QTest::newRow("client before ConnectNamedPipe") << true;
    QTest::newRow("client after the thread started") << false;
}

void TestPipeEnds::receiverTakesClientBeforeOrAfterConnect()
{
    QFETCH(bool, clientFirst);
    ReceiverUnderTest r;
    QVERIFY(r.receiver->CreatePipe(r.name));
    if (clientFirst)
        QCOMPARE(r.client.Open(r.name), DWORD(ERROR_SUCCESS));
    r.receiver->start();
    if (!clientFirst)
        QCOMPARE(r.client.Open(r.name), DWORD(ERROR_SUCCESS));
    QTRY_COMPARE_WITH_TIMEOUT(r.connected.count(), 1, kLong);
    QVERIFY(r.receiver->IsConnected());

    // The first read starts after the connection: data written now arrives.
    QVERIFY(r.client.WriteFrame("after connect"));
    QTRY_COMPARE_WITH_TIMEOUT(r.data.count(), 1, kLong);
    QCOMPARE(r.data.at(0).at(0).toByteArray(), QByteArray("after connect"));
    QCOMPARE(r.connected.count(), 1);
}

void TestPipeEnds::receiverEmitsOnePayloadPerFrame_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("1 byte") << 1;
    QTest::newRow("2044 bytes: frame fills one read") << 2044;
    QTest::newRow("2048 bytes") << 2048;
    QTest::newRow("2049 bytes") << 2049;
    QTest::newRow("more than twice 2048 bytes") << 2 * 2048 + 100;
    QTest::newRow("1 MiB") << (1 << 20);
}

void TestPipeEnds::receiverEmitsOnePayloadPerFrame()
{
    QFETCH(int, size);
    ReceiverUnderTest r;
    QVERIFY(r.Start());
    QCOMPARE(r.client.Open(r.name), DWORD(ERROR_SUCCESS));
    QTRY_COMPARE_WITH_TIMEOUT(r.connected.count(), 1, kLong);

    const QByteArray payload = Pattern(size);
    QVERIFY(r.client.WriteFrame(payload));
    QVERIFY(r.client.WriteFrame("next"));
    QTRY_COMPARE_WITH_TIMEOUT(r.data.count(), 2, kLong);
    QCOMPARE(r.data.at(0).at(0).toByteArray(), payload);
    QCOMPARE(r.data.at(1).at(0).toByteArray(), QByteArray("next"));
}

void TestPipeEnds::receiverReassemblesAcrossMessages()
{
    ReceiverUnderTest r;
    QVERIFY(r.Start());
    QCOMPARE(r.client.Open(r.name), DWORD(ERROR_SUCCESS));

    // Three frames in one message, then one frame cut into three messages (inside its length).
    const QByteArray three = VXPipeFrame::Pack("a") + VXPipeFrame::Pack("bb") + VXPipeFrame::Pack("ccc");
    QVERIFY(r.client.Write(three));
    const QByteArray split = VXPipeFrame::Pack(Pattern(3000));
    QVERIFY(r.client.Write(split.left(2)));
    QVERIFY(r.client.Write(split.mid(2, 2500)));
    QTRY_COMPARE_WITH_TIMEOUT(r.data.count(), 3, kLong);
    QVERIFY(r.client.Write(split.mid(2502)));
    QTRY_COMPARE_WITH_TIMEOUT(r.data.count(), 4, kLong);
    QCOMPARE(r.data.at(0).at(0).toByteArray(), QByteArray("a"));
    QCOMPARE(r.data.at(1).at(0).toByteArray(), QByteArray("bb"));
    QCOMPARE(r.data.at(2).at(0).toByteArray(), QByteArray("ccc"));
    QCOMPARE(r.data.at(3).at(0).toByteArray(), Pattern(3000));
}

void TestPipeEnds::receiverSeesClientLeaveWithReadPending()
{
    ReceiverUnderTest r;
    QVERIFY(r.Start());
    QCOMPARE(r.client.Open(r.name), DWORD(ERROR_SUCCESS));
    QVERIFY(r.client.WriteFrame("one"));
    QTRY_COMPARE_WITH_TIMEOUT(r.data.count(), 1, kLong);  // the loop now waits on its next read
    r.client.Close();
    QTRY_COMPARE_WITH_TIMEOUT(r.disconnected.count(), 1, kLong);
    QVERIFY(r.receiver->wait(kLong));
    QVERIFY(!r.receiver->IsConnected());
    QCOMPARE(r.connected.count(), 1);
    QCOMPARE(r.data.count(), 1);
}

void TestPipeEnds::receiverSurvivesBadInput_data()
{
    QTest::addColumn<QList<QByteArray>>("messages");
    QTest::addColumn<int>("limit");        // payload limit; 0: the default
    QTest::addColumn<int>("payloads");
    QTest::addColumn<bool>("clientLeaves");  // false: the receiver must end the connection itself
    QTest::addColumn<QString>("report");     // what SigProtocolError says, in part; empty: nothing
    const QByteArray frame = VXPipeFrame::Pack("dripped");
    QList<QByteArray> drip;
    for (char c : frame)
        drip.append(QByteArray(1, c));
    const auto length = [](qint64 n) {
        QByteArray bytes(4, '\0');
        for (int i = 0; i < 4; ++i)
            bytes[i] = char(quint32(n) >> (8 * i));
        return bytes;
    };
    QTest::newRow("one byte per message") << drip << 0 << 1 << true << QString();
    QTest::newRow("vanishes mid-frame") << QList<QByteArray>{frame.left(6)} << 0 << 0 << true
                                        << "left in the middle of a frame (6 of 11 bytes)";
    QTest::newRow("vanishes inside the length") << QList<QByteArray>{frame.left(2)} << 0 << 0 << true
                                                << "inside a frame's length field (2 of 4 bytes)";
    QTest::newRow("negative length") << QList<QByteArray>{length(-1) + "garbage"} << 0 << 0 << false
                                     << "frame length -1 is outside 0..134217728; dropped 11 buffered bytes";
    QTest::newRow("one over the default limit") << QList<QByteArray>{length(134217729)} << 0 << 0 << false
                                                << "frame length 134217729 is outside 0..134217728";
    QTest::newRow("frame would overflow an int") << QList<QByteArray>{length(2147483644)} << 0 << 0 << false
                                                 << "frame length 2147483644 is outside";
    QTest::newRow("text without a frame") << QList<QByteArray>{"this is not a frame, just text"} << 0 << 0 << false
                                          << "frame length 1936287860 is outside";
    QTest::newRow("frame at a configured limit") << QList<QByteArray>{VXPipeFrame::Pack(Pattern(100))} << 100 << 1
                                                 << true << QString();
    QTest::newRow("frame over a configured limit")
        << QList<QByteArray>{VXPipeFrame::Pack(Pattern(100)) + VXPipeFrame::Pack(Pattern(101))} << 100 << 1 << false
        << "frame length 101 is outside 0..100";
}

// Whatever the client sends, the receiver neither crashes nor waits for bytes a bad length
// announces: it reports what broke the protocol and ends the connection (or sees the client go).
void TestPipeEnds::receiverSurvivesBadInput()
{
    QFETCH(QList<QByteArray>, messages);
    QFETCH(int, limit);
    QFETCH(int, payloads);
    QFETCH(bool, clientLeaves);
    QFETCH(QString, report);
    ReceiverUnderTest r;
    if (limit > 0)
        r.receiver->SetPayloadLimit(limit);
    QVERIFY(r.Start());
    QCOMPARE(r.client.Open(r.name), DWORD(ERROR_SUCCESS));
    // A client that leaves before the receiver has taken it is never seen at all.
    QTRY_COMPARE_WITH_TIMEOUT(r.connected.count(), 1, kLong);
    for (const QByteArray& message : messages)
        QVERIFY(r.client.Write(message));
    if (clientLeaves)
        r.client.Close();
    QTRY_COMPARE_WITH_TIMEOUT(r.disconnected.count(), 1, kLong);
    QVERIFY(r.receiver->wait(kLong));
    QCOMPARE(r.data.count(), payloads);
    QCOMPARE(r.protocolErrors.count(), report.isEmpty() ? 0 : 1);
    if (!report.isEmpty())
        QVERIFY2(r.protocolErrors[0][0].toString().contains(report), qPrintable(r.protocolErrors[0][0].toString()));
    if (!clientLeaves) {
        // The client's end sees the pipe closed under it.
        QByteArray message;
        QVERIFY(!r.client.ReadMessage(&message, kLong));
        QVERIFY(r.client.LastError() != DWORD(WAIT_TIMEOUT));
    }
}

void TestPipeEnds::exitEventEndsThreadWithoutSignal_data()
{
    QTest::addColumn<bool>("withClient");
    QTest::newRow("waiting for a client") << false;
    QTest::newRow("connected and idle") << true;
}

void TestPipeEnds::exitEventEndsThreadWithoutSignal()
{
    QFETCH(bool, withClient);
    MessageCapture capture;
    ReceiverUnderTest r;
    QVERIFY(r.Start());
    if (withClient) {
        QCOMPARE(r.client.Open(r.name), DWORD(ERROR_SUCCESS));
        QTRY_COMPARE_WITH_TIMEOUT(r.connected.count(), 1, kLong);
    }
    r.receiver->SetExitEvent();
    r.receiver->exit(0);
    QVERIFY(r.receiver->wait(kLong));
    QCoreApplication::processEvents();
    QCOMPARE(r.disconnected.count(), 0);
    QCOMPARE(r.connected.count(), withClient ? 1 : 0);
    QCOMPARE(capture.Count(QStringLiteral("exit NamedPipeWorkThread/n")), 1);
    delete r.receiver;  // closes the pipe: the name is free again
    r.receiver = new VXPipeReciver;
    QVERIFY(r.receiver->CreatePipe(r.name));
}

void TestPipeEnds::receiverWithoutPipeNeverConnects()
{
    MessageCapture capture;
    const QString name = UniquePipeName();
    VXPipeReciver first;
    QVERIFY(first.CreatePipe(name));
    VXPipeReciver second;  // one instance per name: this one cannot be created
    QVERIFY(!second.CreatePipe(name));
    QVERIFY(capture.Contains(QStringLiteral("CreateNamedPipe failed with 231./n")));
    second.start();  // returns at once: no pipe
    QVERIFY(second.wait(kLong));
    QVERIFY(!second.IsConnected());
}

// ---------------------------------------------------------------------------------------------
// Sender

void TestPipeEnds::writeQueuedBeforeClientIsDeliveredAfter()
{
    const QString name = UniquePipeName();
    auto* sender = new VXPipeSender;
    QVERIFY(sender->CreatePipe(name));
    QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "Connect"));
    QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "WriteData", Q_ARG(QByteArray, QByteArray("queued early"))));
    PipeTestClient client;
    QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));
    QCOMPARE(client.ReadFrames(1), QList<QByteArray>{QByteArray("queued early")});
    QVERIFY(sender->IsConnected());
    delete sender;
}

void TestPipeEnds::senderTakesClientThatCameFirst()
{
    const QString name = UniquePipeName();
    auto* sender = new VXPipeSender;
    QVERIFY(sender->CreatePipe(name));
    PipeTestClient client;
    QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));  // before ConnectNamedPipe
    QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "Connect"));
    QTRY_VERIFY_WITH_TIMEOUT(sender->IsConnected(), kLong);
    QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "WriteData", Q_ARG(QByteArray, QByteArray("hi"))));
    QCOMPARE(client.ReadFrames(1), QList<QByteArray>{QByteArray("hi")});
    delete sender;
}

void TestPipeEnds::senderWritesEachFrameAsOneMessage()
{
    const QString name = UniquePipeName();
    auto* sender = new VXPipeSender;
    QVERIFY(sender->CreatePipe(name));
    QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "Connect"));
    PipeTestClient client;
    QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));
    QTRY_VERIFY_WITH_TIMEOUT(sender->IsConnected(), kLong);
    const QByteArray big = Pattern(5000);  // longer than the 2048-byte pipe buffer
    QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "WriteData", Q_ARG(QByteArray, big)));
    QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "WriteData", Q_ARG(QByteArray, QByteArray("x"))));
    QByteArray message;
    QVERIFY(client.ReadMessage(&message));
    QCOMPARE(message.size(), 5004);
    QCOMPARE(message, VXPipeFrame::Pack(big));
    QVERIFY(client.ReadMessage(&message));
    QCOMPARE(message, VXPipeFrame::Pack("x"));
    delete sender;
}

void TestPipeEnds::senderWriteReturnsOnceTheFrameIsWritten_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("queued");  // through the worker thread, as AsyncWriteData; else a direct call
    QTest::newRow("4 MiB, direct") << 4 * 1024 * 1024 << false;
    QTest::newRow("4 MiB, queued") << 4 * 1024 * 1024 << true;
}

// The handle is overlapped and the pipe's buffer is 2048 bytes; a frame of megabytes goes out to
// a client that reads slowly. The write returns only once the frame is written (the client has
// taken all of it but what the pipe itself holds: 2048 bytes on Windows, a socket buffer of a
// few hundred KiB here), arrives whole as one message, and the connection wait that came before
// it on the same handle never completes in its place.
void TestPipeEnds::senderWriteReturnsOnceTheFrameIsWritten()
{
    QFETCH(int, size);
    QFETCH(bool, queued);
    const QString name = UniquePipeName();
    auto* sender = new VXPipeSender;
    QVERIFY(sender->CreatePipe(name));
    QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "Connect"));
    PipeTestClient client;
    QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));
    QTRY_VERIFY_WITH_TIMEOUT(sender->IsConnected(), kLong);

    const QByteArray payload = Pattern(size);
    std::atomic<qint64> taken{0};
    QByteArray received;
    // A std::thread: its join is what ThreadSanitizer sees ordering the reader's writes before ours.
    std::thread reader([&] {
        // 16 KiB at a time, with a pause after each: about a second for 4 MiB.
        char chunk[16384];
        for (;;) {
            OVERLAPPED overlapped = {};
            overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            DWORD read = 0;
            BOOL ok = ReadFile(client.Handle(), chunk, sizeof chunk, &read, &overlapped);
            if (!ok && GetLastError() == ERROR_IO_PENDING)
                ok = GetOverlappedResult(client.Handle(), &overlapped, &read, TRUE);
            const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
            if (!ok && error == ERROR_MORE_DATA)
                GetOverlappedResult(client.Handle(), &overlapped, &read, FALSE);
            CloseHandle(overlapped.hEvent);
            received.append(chunk, int(read));
            taken += read;
            if (ok || (error != ERROR_MORE_DATA))
                return;  // the message is complete (or the pipe failed)
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
    });
    // Set by whichever thread writes (the worker's, when queued), read here.
    std::atomic<bool> written{false};
    std::atomic<qint64> takenWhenWritten{-1};
    if (queued) {
        // The worker's own frame buffer and event; the result comes back through a queued call.
        QMetaObject::invokeMethod(sender, [&] {
            written = sender->WriteData(payload);
            takenWhenWritten = taken.load();
        }, Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(takenWhenWritten >= 0, kLong);
    } else {
        written = sender->WriteData(payload);
        takenWhenWritten = taken.load();
    }
    QVERIFY(written);
    QVERIFY2(takenWhenWritten >= size + 4 - 1024 * 1024, qPrintable(QString::number(takenWhenWritten.load())));
    reader.join();
    QCOMPARE(received.size(), size + 4);
    QVERIFY(received == VXPipeFrame::Pack(payload));
    delete sender;
}

void TestPipeEnds::senderRefusesEmptyPayloadAndUnconnectedWrites()
{
    const QString name = UniquePipeName();
    auto* sender = new VXPipeSender;
    QVERIFY(sender->CreatePipe(name));
    QVERIFY(!sender->WriteData("not connected yet"));
    QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "Connect"));
    PipeTestClient client;
    QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));
    QTRY_VERIFY_WITH_TIMEOUT(sender->IsConnected(), kLong);
    QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "WriteData", Q_ARG(QByteArray, QByteArray())));
    QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "WriteData", Q_ARG(QByteArray, QByteArray("after empty"))));
    QByteArray message;
    QVERIFY(client.ReadMessage(&message));
    QCOMPARE(message, VXPipeFrame::Pack("after empty"));  // nothing was written for the empty one
    delete sender;
}

void TestPipeEnds::senderTeardownNeverWaitsForClient_data()
{
    QTest::addColumn<int>("situation");
    QTest::newRow("client never came") << 0;
    QTest::newRow("connect still queued") << 1;
    QTest::newRow("client connected but stopped reading") << 2;
}

void TestPipeEnds::senderTeardownNeverWaitsForClient()
{
    QFETCH(int, situation);
    const QString name = UniquePipeName();
    auto* sender = new VXPipeSender;
    QVERIFY(sender->CreatePipe(name));
    PipeTestClient client;
    if (situation != 1)
        QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "Connect"));
    if (situation == 2) {
        QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));
        QTRY_VERIFY_WITH_TIMEOUT(sender->IsConnected(), kLong);
        // Far more than the pipe holds: a write blocks in the sender's thread.
        for (int i = 0; i < 64; ++i)
            QVERIFY(VXThreadUtils::InvokeMethodQueued(sender, "WriteData", Q_ARG(QByteArray, Pattern(1 << 20))));
    }
    delete sender;  // must return although the client is absent or stuck
    VXPipeSender again;  // and the name is free again
    QVERIFY(again.CreatePipe(name));
}

QTEST_GUILESS_MAIN(TestPipeEnds)
#include "tst_pipeends.moc"
