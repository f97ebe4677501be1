// KKClientEndpoint against the module's real pipe server (VXPipeServer) over the Win32 layer:
// both directions, large and many frames, the host going away whichever pipes are open, closing
// and connecting again, and connecting to pipes that are missing or busy.

#include "PipeTestClient.h"

#include "PlatformKKWrapper/VXPipeInstance.h"
#include "PlatformKKWrapper/VXPipeServer.h"
#include "simulator/KKClientEndpoint.h"
#include "simulator/KKFrameStream.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QUuid>
#include <QtTest>

#include <memory>

namespace {

const int kLong = 30000;  // ms

QSharedPointer<VXProcessMessage> Message(const QString& name, const QList<QVariant>& args = {})
{
    auto message = VXProcessMessage::Create(name);
    message->GetArgs() = args;
    return message;
}

QByteArray Text(const QSharedPointer<VXProcessMessage>& message)
{
    return message->ToString().toUtf8();
}

}  // namespace

class TestSimulatorEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void init();

    // --- Talking ----------------------------------------------------------------------------------
    void exchangesMessagesBothWays();
    void receivesLargeAndManyFrames_data();
    void receivesLargeAndManyFrames();
    void callerReadsPayloadsInItsOwnThread();

    // --- The host going away, closing ---------------------------------------------------------------
    void noticesTheHostGoing_data();
    void noticesTheHostGoing();
    void closingOneOrBothPipes();
    void closingWhileMessagesWaitDropsTheRest();

    // --- Connecting ------------------------------------------------------------------------------------
    void missingPipeFailsAtOnceAndConnectResumes();
    void busyPipeIsWaitedForWithinTheLimit_data();
    void busyPipeIsWaitedForWithinTheLimit();

private:
    KKClientEndpoint::Launch m_launch;
};

void TestSimulatorEndpoint::init()
{
    const QString id = QUuid::createUuid().toString();
    m_launch.writePipe = QStringLiteral("\\\\.\\pipe\\writepipe_") + id;
    m_launch.readPipe = QStringLiteral("\\\\.\\pipe\\readpipe_") + id;
    m_launch.version = QStringLiteral("5.2.1");
}

void TestSimulatorEndpoint::exchangesMessagesBothWays()
{
    VXPipeServer server;
    QSignalSpy connected(&server, &VXPipeServer::SigClientConnected);
    QSignalSpy fromClient(&server, &VXPipeServer::SigReadData);
    QVERIFY(server.InitPipe(m_launch.writePipe, m_launch.readPipe));

    KKClientEndpoint endpoint;
    QSignalSpy messages(&endpoint, &KKClientEndpoint::MessageReceived);
    QSignalSpy invalid(&endpoint, &KKClientEndpoint::InvalidPayload);
    QSignalSpy gone(&endpoint, &KKClientEndpoint::HostGone);
    QCOMPARE(endpoint.Connect(m_launch, kLong), DWORD(ERROR_SUCCESS));
    QVERIFY(endpoint.IsOpen(KKClientEndpoint::BothPipes));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);

    const auto startup = Message(QStringLiteral("StartupCompleted"), {4242u, QStringLiteral("3.1.0")});
    QVERIFY(endpoint.Send(startup));
    QVERIFY(endpoint.SendPayload("raw text"));
    // Raw bytes: a frame split over two pipe messages, and two frames in one.
    const QByteArray frame = KKFrameStream::Pack("[\"Split\"]");
    QVERIFY(endpoint.SendRawBytes(frame.left(2)));
    QVERIFY(endpoint.SendRawBytes(frame.mid(2) + frame));
    QTRY_COMPARE_WITH_TIMEOUT(fromClient.count(), 4, kLong);
    QCOMPARE(fromClient.at(0).at(0).toByteArray(), Text(startup));
    QCOMPARE(fromClient.at(1).at(0).toByteArray(), QByteArray("raw text"));
    QCOMPARE(fromClient.at(3).at(0).toByteArray(), QByteArray("[\"Split\"]"));

    const auto login = Message(QStringLiteral("Login"), {QStringLiteral("seller_01"), true, 1, QString(), QString(),
                                                         QByteArray::fromHex("000102")});
    QVERIFY(server.AsyncWriteData(Text(login)));
    QVERIFY(server.AsyncWriteData("OpenSomething"));  // a raw command, not a message
    QTRY_COMPARE_WITH_TIMEOUT(invalid.count(), 1, kLong);
    QCOMPARE(messages.count(), 1);
    const auto received = messages.at(0).at(0).value<QSharedPointer<VXProcessMessage>>();
    QCOMPARE(received->GetName(), QStringLiteral("Login"));
    QCOMPARE(received->GetArgs(), login->GetArgs());
    QCOMPARE(messages.at(0).at(1).toByteArray(), Text(login));
    QCOMPARE(invalid.at(0).at(0).toByteArray(), QByteArray("OpenSomething"));
    QCOMPARE(gone.count(), 0);
}

void TestSimulatorEndpoint::receivesLargeAndManyFrames_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("size");  // characters of text in each message
    // Larger than the reader's 64 KiB buffer: the message arrives in several ERROR_MORE_DATA reads.
    QTest::newRow("one of 300 KiB") << 1 << 300 * 1024;
    QTest::newRow("2000 small ones") << 2000 << 20;
}

void TestSimulatorEndpoint::receivesLargeAndManyFrames()
{
    QFETCH(int, count);
    QFETCH(int, size);
    VXPipeServer server;
    QVERIFY(server.InitPipe(m_launch.writePipe, m_launch.readPipe));
    KKClientEndpoint endpoint;
    QSignalSpy messages(&endpoint, &KKClientEndpoint::MessageReceived);
    QCOMPARE(endpoint.Connect(m_launch, kLong), DWORD(ERROR_SUCCESS));

    for (int i = 0; i < count; ++i)
        QVERIFY(server.AsyncWriteData(Text(Message(QString::number(i), {QString(size, QLatin1Char('x'))}))));
    QTRY_COMPARE_WITH_TIMEOUT(messages.count(), count, kLong);
    for (int i = 0; i < count; ++i) {
        const auto message = messages.at(i).at(0).value<QSharedPointer<VXProcessMessage>>();
        QCOMPARE(message->GetName(), QString::number(i));
        QCOMPARE(message->GetArgs().at(0).toString().size(), size);
    }
}

// The fast path (Reading::Caller): no reader thread; ReadPayload blocks in the caller until the
// next payload is whole, across reads that return part of a pipe message (ERROR_MORE_DATA), and
// tells a time-out from the host going away.
void TestSimulatorEndpoint::callerReadsPayloadsInItsOwnThread()
{
    VXPipeServer server;
    QSignalSpy connected(&server, &VXPipeServer::SigClientConnected);
    QVERIFY(server.InitPipe(m_launch.writePipe, m_launch.readPipe));
    KKClientEndpoint endpoint(nullptr, KKClientEndpoint::Reading::Caller);
    QCOMPARE(endpoint.Connect(m_launch, kLong), DWORD(ERROR_SUCCESS));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);

    QByteArray payload;
    QVERIFY(!endpoint.ReadPayload(&payload, 50));  // nothing yet: the time runs out
    QVERIFY(!endpoint.IsHostGone());

    const QByteArray large(300 * 1024, 'x');  // several reads of the endpoint's buffer
    QList<QByteArray> sent{"first", large, "third"};
    for (int i = 0; i < 100; ++i)
        sent.append("small " + QByteArray::number(i));
    for (const QByteArray& data : sent)
        QVERIFY(server.AsyncWriteData(data));
    for (const QByteArray& expected : sent) {
        QVERIFY(endpoint.ReadPayload(&payload, kLong));
        QCOMPARE(payload.size(), expected.size());
        QCOMPARE(payload, expected);
    }

    server.CloseServer();
    QVERIFY(!endpoint.ReadPayload(&payload, kLong));
    QVERIFY(endpoint.IsHostGone());
}

void TestSimulatorEndpoint::noticesTheHostGoing_data()
{
    QTest::addColumn<int>("pipes");
    QTest::newRow("both pipes") << int(KKClientEndpoint::BothPipes);
    QTest::newRow("write pipe only") << int(KKClientEndpoint::WritePipe);
    // Nothing is ever read from this pipe; only the pending read learns that it closed.
    QTest::newRow("read pipe only") << int(KKClientEndpoint::ReadPipe);
}

void TestSimulatorEndpoint::noticesTheHostGoing()
{
    QFETCH(int, pipes);
    auto server = std::make_unique<VXPipeServer>();
    QVERIFY(server->InitPipe(m_launch.writePipe, m_launch.readPipe));
    KKClientEndpoint endpoint;
    QSignalSpy gone(&endpoint, &KKClientEndpoint::HostGone);
    QCOMPARE(endpoint.Connect(m_launch, kLong, pipes), DWORD(ERROR_SUCCESS));
    QCOMPARE(endpoint.IsOpen(KKClientEndpoint::WritePipe), (pipes & KKClientEndpoint::WritePipe) != 0);
    QCOMPARE(endpoint.IsOpen(KKClientEndpoint::ReadPipe), (pipes & KKClientEndpoint::ReadPipe) != 0);

    server.reset();
    QVERIFY(gone.wait(kLong));
    QVERIFY(!endpoint.Send(Message(QStringLiteral("Late"))));
    QCOMPARE(gone.count(), 1);
}

void TestSimulatorEndpoint::closingOneOrBothPipes()
{
    VXPipeServer server;
    QSignalSpy connected(&server, &VXPipeServer::SigClientConnected);
    QSignalSpy closed(&server, &VXPipeServer::SigClientClosed);
    QSignalSpy fromClient(&server, &VXPipeServer::SigReadData);
    QVERIFY(server.InitPipe(m_launch.writePipe, m_launch.readPipe));
    KKClientEndpoint endpoint;
    QSignalSpy messages(&endpoint, &KKClientEndpoint::MessageReceived);
    QSignalSpy gone(&endpoint, &KKClientEndpoint::HostGone);

    // Without the write pipe the endpoint still sends; the module sees no change.
    QCOMPARE(endpoint.Connect(m_launch, kLong), DWORD(ERROR_SUCCESS));
    endpoint.ClosePipe(KKClientEndpoint::WritePipe);
    QVERIFY(endpoint.Send(Message(QStringLiteral("StillHere"))));
    QTRY_COMPARE_WITH_TIMEOUT(fromClient.count(), 1, kLong);
    QCOMPARE(closed.count(), 0);

    // Closing the read pipe too is leaving: the module rebuilds its pipes.
    endpoint.ClosePipe(KKClientEndpoint::ReadPipe);
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, kLong);
    QVERIFY(!endpoint.IsOpen(KKClientEndpoint::WritePipe) && !endpoint.IsOpen(KKClientEndpoint::ReadPipe));

    // The pipes are back under the same names: Close() ends the old connection, and a new one
    // talks both ways; nothing of the old one is reported afterwards.
    endpoint.Close();
    QCOMPARE(endpoint.Connect(m_launch, kLong), DWORD(ERROR_SUCCESS));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 2, kLong);
    QVERIFY(server.AsyncWriteData(Text(Message(QStringLiteral("Again")))));
    QVERIFY(messages.wait(kLong));
    endpoint.Close();
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 2, kLong);
    QCOMPARE(gone.count(), 0);
}

// Messages are handed over from the reader thread in batches; a receiver that closes the
// endpoint in the middle of one must not be handed the rest of it, nor anything read before the
// close that is still on its way.
void TestSimulatorEndpoint::closingWhileMessagesWaitDropsTheRest()
{
    VXPipeServer server;
    QVERIFY(server.InitPipe(m_launch.writePipe, m_launch.readPipe));
    KKClientEndpoint endpoint;
    int seen = 0;
    connect(&endpoint, &KKClientEndpoint::MessageReceived, this, [&] {
        if (++seen == 10)
            endpoint.Close();
    });
    QCOMPARE(endpoint.Connect(m_launch, kLong), DWORD(ERROR_SUCCESS));
    for (int i = 0; i < 500; ++i)
        QVERIFY(server.AsyncWriteData(Text(Message(QString::number(i)))));
    QTRY_COMPARE_WITH_TIMEOUT(seen, 10, kLong);
    // Close() joined the reader: whatever it read is in the event queue now, and is dropped.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCOMPARE(seen, 10);
}

void TestSimulatorEndpoint::missingPipeFailsAtOnceAndConnectResumes()
{
    KKClientEndpoint endpoint;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(endpoint.Connect(m_launch, kLong), DWORD(ERROR_FILE_NOT_FOUND));
    QVERIFY2(timer.elapsed() < kLong / 2, "a missing pipe cannot be waited for");

    // Only the write pipe exists: it stays open, and the next Connect opens just the read pipe.
    const HANDLE writePipe = VXPipeInstance::Create(m_launch.writePipe);
    QVERIFY(writePipe != INVALID_HANDLE_VALUE);
    QCOMPARE(endpoint.Connect(m_launch, kLong), DWORD(ERROR_FILE_NOT_FOUND));
    QVERIFY(endpoint.IsOpen(KKClientEndpoint::WritePipe));
    const HANDLE readPipe = VXPipeInstance::Create(m_launch.readPipe);
    QVERIFY(readPipe != INVALID_HANDLE_VALUE);
    QCOMPARE(endpoint.Connect(m_launch, kLong), DWORD(ERROR_SUCCESS));
    QVERIFY(endpoint.IsOpen(KKClientEndpoint::BothPipes));
    endpoint.Close();
    CloseHandle(writePipe);
    CloseHandle(readPipe);
}

void TestSimulatorEndpoint::busyPipeIsWaitedForWithinTheLimit_data()
{
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<uint>("error");
    QTest::newRow("no waiting") << 0 << uint(ERROR_PIPE_BUSY);
    QTest::newRow("waits, then gives up") << 300 << uint(ERROR_SEM_TIMEOUT);
}

void TestSimulatorEndpoint::busyPipeIsWaitedForWithinTheLimit()
{
    QFETCH(int, timeoutMs);
    QFETCH(uint, error);
    VXPipeServer server;
    QVERIFY(server.InitPipe(m_launch.writePipe, m_launch.readPipe));
    PipeTestClient other;  // another client holds the write pipe
    QCOMPARE(other.Open(m_launch.writePipe), DWORD(ERROR_SUCCESS));

    KKClientEndpoint endpoint;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(endpoint.Connect(m_launch, timeoutMs), DWORD(error));
    QVERIFY2(timer.elapsed() >= timeoutMs - 20, qPrintable(QString::number(timer.elapsed())));  // clocks round
    QVERIFY(!endpoint.IsOpen(KKClientEndpoint::WritePipe));
}

QTEST_GUILESS_MAIN(TestSimulatorEndpoint)
#include "tst_simulator_endpoint.moc"
