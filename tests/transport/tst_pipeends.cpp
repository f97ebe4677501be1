// The two pipe ends over real pipes through the Win32 layer, with a test client on the layer's
// client side: the receiver's connection, reads and reassembly, the client leaving, the exit
// event; the sender's connection wait, queued writes and teardown.

#include "MessageCapture.h"
#include "PipeTestClient.h"

#include "PlatformKKWrapper/VXPipeReciver.h"
#include "PlatformKKWrapper/VXPipeSender.h"
#include "VXFoundation/VXThreadUtils.h"

#include <QSignalSpy>
#include <QUuid>
#include <QtTest>

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

// The receiver emits from its own thread; this relay lives in the test's thread, so the spies
// below record queued deliveries there, as the server would see them.
class ReceiverRelay : public QObject
{
    Q_OBJECT
public:
    explicit ReceiverRelay(VXPipeReciver* receiver)
    {
        connect(receiver, &VXPipeReciver::SigPipeConnected, this, &ReceiverRelay::Connected);
        connect(receiver, &VXPipeReciver::SigPipeDisconnected, this, &ReceiverRelay::Disconnected);
        connect(receiver, &VXPipeReciver::SigReadData, this, &ReceiverRelay::Data);
    }
signals:
    void Connected();
    void Disconnected();
    void Data(QByteArray data);
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
    const QString name = UniquePipeName();
    VXPipeReciver receiver;
    ReceiverRelay relay(&receiver);
    QSignalSpy connected(&relay, &ReceiverRelay::Connected);
    QVERIFY(receiver.CreatePipe(name));
    PipeTestClient client;
    if (clientFirst)
        QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));
    receiver.start();
    if (!clientFirst)
        QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);
    QVERIFY(receiver.IsConnected());

    // The first read starts after the connection: data written now arrives.
    QSignalSpy data(&relay, &ReceiverRelay::Data);
    QVERIFY(client.WriteFrame("after connect"));
    QTRY_COMPARE_WITH_TIMEOUT(data.count(), 1, kLong);
    QCOMPARE(data.at(0).at(0).toByteArray(), QByteArray("after connect"));

    receiver.SetExitEvent();
    QVERIFY(receiver.wait(kLong));
    QCOMPARE(connected.count(), 1);
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
    const QString name = UniquePipeName();
    VXPipeReciver receiver;
    ReceiverRelay relay(&receiver);
    QSignalSpy connected(&relay, &ReceiverRelay::Connected);
    QSignalSpy data(&relay, &ReceiverRelay::Data);
    QVERIFY(receiver.CreatePipe(name));
    receiver.start();
    PipeTestClient client;
    QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);

    const QByteArray payload = Pattern(size);
    QVERIFY(client.WriteFrame(payload));
    QVERIFY(client.WriteFrame("next"));
    QTRY_COMPARE_WITH_TIMEOUT(data.count(), 2, kLong);
    QCOMPARE(data.at(0).at(0).toByteArray(), payload);
    QCOMPARE(data.at(1).at(0).toByteArray(), QByteArray("next"));

    receiver.SetExitEvent();
    QVERIFY(receiver.wait(kLong));
}

void TestPipeEnds::receiverReassemblesAcrossMessages()
{
    const QString name = UniquePipeName();
    VXPipeReciver receiver;
    ReceiverRelay relay(&receiver);
    QSignalSpy data(&relay, &ReceiverRelay::Data);
    QVERIFY(receiver.CreatePipe(name));
    receiver.start();
    PipeTestClient client;
    QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));

    // Three frames in one message, then one frame cut into three messages (inside its length).
    const QByteArray three = VXPipeFrame::Pack("a") + VXPipeFrame::Pack("bb") + VXPipeFrame::Pack("ccc");
    QVERIFY(client.Write(three));
    const QByteArray split = VXPipeFrame::Pack(Pattern(3000));
    QVERIFY(client.Write(split.left(2)));
    QVERIFY(client.Write(split.mid(2, 2500)));
    QTRY_COMPARE_WITH_TIMEOUT(data.count(), 3, kLong);
    QVERIFY(client.Write(split.mid(2502)));
    QTRY_COMPARE_WITH_TIMEOUT(data.count(), 4, kLong);
    QCOMPARE(data.at(0).at(0).toByteArray(), QByteArray("a"));
    QCOMPARE(data.at(1).at(0).toByteArray(), QByteArray("bb"));
    QCOMPARE(data.at(2).at(0).toByteArray(), QByteArray("ccc"));
    QCOMPARE(data.at(3).at(0).toByteArray(), Pattern(3000));

    receiver.SetExitEvent();
    QVERIFY(receiver.wait(kLong));
}

void TestPipeEnds::receiverSeesClientLeaveWithReadPending()
{
    const QString name = UniquePipeName();
    VXPipeReciver receiver;
    ReceiverRelay relay(&receiver);
    QSignalSpy connected(&relay, &ReceiverRelay::Connected);
    QSignalSpy disconnected(&relay, &ReceiverRelay::Disconnected);
    QSignalSpy data(&relay, &ReceiverRelay::Data);
    QVERIFY(receiver.CreatePipe(name));
    receiver.start();
    PipeTestClient client;
    QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));
    QVERIFY(client.WriteFrame("one"));
    QTRY_COMPARE_WITH_TIMEOUT(data.count(), 1, kLong);  // the loop now waits on its next read
    client.Close();
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, kLong);
    QVERIFY(receiver.wait(kLong));
    QVERIFY(!receiver.IsConnected());
    QCOMPARE(connected.count(), 1);
    QCOMPARE(data.count(), 1);
}

void TestPipeEnds::receiverSurvivesBadInput_data()
{
    QTest::addColumn<QList<QByteArray>>("messages");
    QTest::addColumn<int>("payloads");
    QTest::addColumn<QString>("debugMessage");
    const QByteArray frame = VXPipeFrame::Pack("dripped");
    QList<QByteArray> drip;
    for (char c : frame)
        drip.append(QByteArray(1, c));
    QTest::newRow("one byte per message") << drip << 1 << QString();
    QTest::newRow("vanishes mid-frame") << QList<QByteArray>{frame.left(6)} << 0 << QString();
    QTest::newRow("negative length")
        << QList<QByteArray>{QByteArray("\xff\xff\xff\xff" "garbage", 11)} << 0 << "Invalid frame length -1";
    QTest::newRow("huge length") << QList<QByteArray>{QByteArray("\xfc\xff\xff\x7f", 4)} << 0
                                 << "Invalid frame length 2147483644";
}

// Whatever the client sends before it goes, the receiver reports, then ends when it leaves.
void TestPipeEnds::receiverSurvivesBadInput()
{
    QFETCH(QList<QByteArray>, messages);
    QFETCH(int, payloads);
    QFETCH(QString, debugMessage);
    MessageCapture capture;
    const QString name = UniquePipeName();
    VXPipeReciver receiver;
    ReceiverRelay relay(&receiver);
    QSignalSpy connected(&relay, &ReceiverRelay::Connected);
    QSignalSpy disconnected(&relay, &ReceiverRelay::Disconnected);
    QSignalSpy data(&relay, &ReceiverRelay::Data);
    QVERIFY(receiver.CreatePipe(name));
    receiver.start();
    PipeTestClient client;
    QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));
    // A client that leaves before the receiver has taken it is never seen at all.
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);
    for (const QByteArray& message : messages)
        QVERIFY(client.Write(message));
    client.Close();
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, kLong);
    QVERIFY(receiver.wait(kLong));
    QCOMPARE(data.count(), payloads);
    if (!debugMessage.isEmpty()) {
        const QStringList all = capture.Messages();
        QVERIFY2(std::any_of(all.begin(), all.end(), [&](const QString& m) { return m.startsWith(debugMessage); }),
                 qPrintable(all.join(QLatin1Char('|'))));
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
    const QString name = UniquePipeName();
    auto* receiver = new VXPipeReciver;
    ReceiverRelay relay(receiver);
    QSignalSpy connected(&relay, &ReceiverRelay::Connected);
    QSignalSpy disconnected(&relay, &ReceiverRelay::Disconnected);
    QVERIFY(receiver->CreatePipe(name));
    receiver->start();
    PipeTestClient client;
    if (withClient) {
        QCOMPARE(client.Open(name), DWORD(ERROR_SUCCESS));
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);
    }
    receiver->SetExitEvent();
    receiver->exit(0);
    QVERIFY(receiver->wait(kLong));
    QCoreApplication::processEvents();
    QCOMPARE(disconnected.count(), 0);
    QCOMPARE(connected.count(), withClient ? 1 : 0);
    QCOMPARE(capture.Count(QStringLiteral("exit NamedPipeWorkThread/n")), 1);
    delete receiver;  // closes the pipe: the name is free again
    VXPipeReciver again;
    QVERIFY(again.CreatePipe(name));
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
