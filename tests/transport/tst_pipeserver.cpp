// The pipe server over real pipes with a test client: name limits, tracking reports, both
// directions, and the client leaving and coming back, many times, under the same names.

#include "MessageCapture.h"
#include "PipeTestClient.h"
#include "Recorders.h"

#include "PlatformKKWrapper/VXPipeInstance.h"
#include "PlatformKKWrapper/VXPipeReciver.h"
#include "PlatformKKWrapper/VXPipeServer.h"

#include <QSignalSpy>
#include <QThread>
#include <QUuid>
#include <QtTest>

#include <chrono>
#include <thread>

namespace {

const int kLong = 30000;  // ms

QString UniqueName(const QString& prefix)
{
    return QStringLiteral("\\\\.\\pipe\\%1_%2").arg(prefix, QUuid::createUuid().toString(QUuid::WithoutBraces));
}

// A chat client in the test: reads the module's write pipe, writes the module's read pipe.
struct TestChatClient
{
    PipeTestClient fromModule;  // the module's write pipe
    PipeTestClient toModule;    // the module's read pipe

    bool Open(const QString& writePipe, const QString& readPipe)
    {
        return fromModule.Open(writePipe) == ERROR_SUCCESS && toModule.Open(readPipe) == ERROR_SUCCESS;
    }
    void Close()
    {
        toModule.Close();
        fromModule.Close();
    }
};

}  // namespace

class TestPipeServer : public QObject
{
    Q_OBJECT

private slots:
    void init();

    // --- Set-up and its reports -----------------------------------------------------------------
    void nameLengthLimit_data();
    void nameLengthLimit();
    void writesBeforeInitAreRefused();
    void reportsBothPipesCreated();
    void takenNameIsRetriedThenGivenUp_data();
    void takenNameIsRetriedThenGivenUp();
    void secondCreateServerChangesNothing();

    // --- Talking ---------------------------------------------------------------------------------
    void carriesFramesBothWays();
    void largeFramesWhileTheWatchOnTheSameHandleCompletes();
    void writeQueuedBeforeClientConnectsIsDelivered();

    // --- The client going away ----------------------------------------------------------------
    void pipesAreBackWhenClosedIsSignalled();
    void manyClientsInARow();
    void clientLeavingTheWritePipeEarly_data();
    void clientLeavingTheWritePipeEarly();
    void teardownWithStuckClientReturns();
    void clientSeesNotConnectedWhenTheServerGoes();
    void emptyPayloadKeepsTheConnection();

    // --- Bounds ----------------------------------------------------------------------------------
    void busyHostThreadStopsTheReader();

private:
    QString m_write;
    QString m_read;
};

void TestPipeServer::init()
{
    const QString id = QUuid::createUuid().toString();
    m_write = QStringLiteral("\\\\.\\pipe\\writepipe_") + id;
    m_read = QStringLiteral("\\\\.\\pipe\\readpipe_") + id;
}

void TestPipeServer::nameLengthLimit_data()
{
    QTest::addColumn<int>("writeLength");
    QTest::addColumn<int>("readLength");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("both 256") << 256 << 256 << true;
    QTest::newRow("write name 257") << 257 << 56 << false;
    QTest::newRow("read name 257") << 57 << 257 << false;
}

void TestPipeServer::nameLengthLimit()
{
    QFETCH(int, writeLength);
    QFETCH(int, readLength);
    QFETCH(bool, accepted);
    const auto named = [](const QString& prefix, int length) {
        QString name = UniqueName(prefix);
        return name + QString(length - name.size(), QLatin1Char('x'));
    };
    const QString write = named(QStringLiteral("w"), writeLength);
    const QString read = named(QStringLiteral("r"), readLength);
    QCOMPARE(write.size(), writeLength);
    QCOMPARE(read.size(), readLength);

    TrackingRecorder tracking;
    VXPipeServer server;
    QCOMPARE(server.InitPipe(write, read), accepted);
    PipeTestClient client;
    if (accepted) {
        QCOMPARE(client.Open(write), DWORD(ERROR_SUCCESS));
        QCOMPARE(client.Open(read), DWORD(ERROR_SUCCESS));
        QVERIFY(tracking.WithCode(QStringLiteral("PipeServerInitError")).isEmpty());
    } else {
        const auto errors = tracking.WithCode(QStringLiteral("PipeServerInitError"));
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors[0].level, QStringLiteral("Error"));
        QCOMPARE(errors[0].trackId, QStringLiteral("746"));
        QCOMPARE(errors[0].text, QStringLiteral("Pipe name length is too long"));
        QVERIFY(errors[0].location.endsWith(QStringLiteral(" VXPipeServer::InitPipe ")));
        QCOMPARE(tracking.Count(), 1);  // nothing was created
        QCOMPARE(client.Open(write.size() <= 256 ? write : read), DWORD(ERROR_FILE_NOT_FOUND));
    }
}

void TestPipeServer::writesBeforeInitAreRefused()
{
    TrackingRecorder tracking;
    VXPipeServer server;
    QVERIFY(!server.AsyncWriteData("early"));
    QVERIFY(!server.WriteData("early"));
    QVERIFY(!server.IsConnected());
    QCOMPARE(tracking.Codes(), QStringList({"PipeServerAsyncWriteDataError", "PipeServerWriteDataError"}));
    for (const auto& record : tracking.Records()) {
        QCOMPARE(record.text, QStringLiteral("m_pPipeSender is nullptr"));
        QCOMPARE(record.value, -99999);
        QCOMPARE(record.extra, QString());
    }
    QVERIFY(tracking.Records().at(0).location.endsWith(QStringLiteral(" VXPipeServer::AsyncWriteData ")));
    QVERIFY(tracking.Records().at(0).location.startsWith(QStringLiteral("VXPipeServer.cpp[")));
}

void TestPipeServer::reportsBothPipesCreated()
{
    TrackingRecorder tracking;
    VXPipeServer server;
    QVERIFY(server.InitPipe(m_write, m_read));
    const auto records = tracking.Records();
    QCOMPARE(records.size(), 2);
    QCOMPARE(records[0].text, QStringLiteral("Create write pipe success"));
    QCOMPARE(records[1].text, QStringLiteral("Create read pipe success"));
    for (const auto& record : records) {
        QCOMPARE(record.level, QStringLiteral("Info"));
        QCOMPARE(record.code, QStringLiteral("PipeServerCreateSuccess"));
        QCOMPARE(record.trackId, QStringLiteral("746"));
        QVERIFY(QRegularExpression(QStringLiteral("^VXPipeServer\\.cpp\\[\\d+\\] VXPipeServer::CreateServer $"))
                    .match(record.location)
                    .hasMatch());
    }
    QVERIFY(!server.IsConnected());
}

void TestPipeServer::takenNameIsRetriedThenGivenUp_data()
{
    QTest::addColumn<bool>("readNameTaken");  // false: the write pipe's name
    QTest::addColumn<bool>("releasedMeanwhile");
    QTest::newRow("write name taken for good") << false << false;
    QTest::newRow("read name taken for good") << true << false;
    QTest::newRow("write name let go during the retries") << false << true;
    QTest::newRow("read name let go during the retries") << true << true;
}

// A name another process holds is never shared: the server keeps neither pipe, retries for a
// moment, and then either has both or says it cannot.
void TestPipeServer::takenNameIsRetriedThenGivenUp()
{
    QFETCH(bool, readNameTaken);
    QFETCH(bool, releasedMeanwhile);
    HANDLE other = VXPipeInstance::Create(readNameTaken ? m_read : m_write);  // another server holds it
    QVERIFY(other != INVALID_HANDLE_VALUE);
    TrackingRecorder tracking;
    MessageCapture capture;
    VXPipeServer server;
    QSignalSpy ready(&server, &VXPipeServer::SigPipesReady);
    QSignalSpy unavailable(&server, &VXPipeServer::SigPipesUnavailable);
    QVERIFY(server.InitPipe(m_write, m_read));
    QCOMPARE(tracking.WithCode(QStringLiteral("PipeServerCreateError")).at(0).text,
             readNameTaken ? QStringLiteral("Create read pipe failed") : QStringLiteral("Create write pipe failed"));
    QVERIFY(capture.Contains(QStringLiteral("CreateNamedPipe failed with 231./n")));
    QVERIFY(!server.IsListening());
    QVERIFY(server.IsRetrying());
    PipeTestClient client;
    QCOMPARE(client.Open(readNameTaken ? m_write : m_read), DWORD(ERROR_FILE_NOT_FOUND));  // no lone pipe
    QVERIFY(!server.AsyncWriteData("nobody to write to"));

    if (releasedMeanwhile) {
        CloseHandle(other);
        other = nullptr;
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, kLong);
        QVERIFY(server.IsListening());
        TestChatClient chat;
        QVERIFY(chat.Open(m_write, m_read));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(unavailable.count(), 1, kLong);
        QCOMPARE(tracking.WithCode(QStringLiteral("PipeServerCreateError")).size(), VXPipeServer::kCreateRetries + 1);
        QCOMPARE(tracking.WithCode(QStringLiteral("PipeServerUnavailable")).size(), 1);
        QVERIFY(!server.IsRetrying());
        QVERIFY(!server.IsListening());
        // Asked again once the name is free, the server makes both.
        CloseHandle(other);
        other = nullptr;
        QVERIFY(server.CreateServer());
    }
    QCOMPARE(ready.count() + unavailable.count(), 1);
    if (other)
        CloseHandle(other);
}

void TestPipeServer::secondCreateServerChangesNothing()
{
    VXPipeServer server;
    QVERIFY(server.InitPipe(m_write, m_read));
    TrackingRecorder tracking;
    server.CreateServer();
    QCOMPARE(tracking.Count(), 0);
    TestChatClient client;
    QVERIFY(client.Open(m_write, m_read));  // still the same, single instances
}

void TestPipeServer::carriesFramesBothWays()
{
    VXPipeServer server;
    QSignalSpy connected(&server, &VXPipeServer::SigClientConnected);
    QSignalSpy data(&server, &VXPipeServer::SigReadData);
    QVERIFY(server.InitPipe(m_write, m_read));
    TestChatClient client;
    QVERIFY(client.Open(m_write, m_read));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);
    QVERIFY(server.IsConnected());

    const QList<QByteArray> outgoing{"one", QByteArray(5000, 'z'), "three"};
    for (const QByteArray& payload : outgoing)
        QVERIFY(server.AsyncWriteData(payload));
    QCOMPARE(client.fromModule.ReadFrames(3), outgoing);

    for (const QByteArray& payload : outgoing)
        QVERIFY(client.toModule.WriteFrame(payload));
    QTRY_COMPARE_WITH_TIMEOUT(data.count(), 3, kLong);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(data.at(i).at(0).toByteArray(), outgoing.at(i));
}

// The sender writes a 4 MiB frame to a client that reads slowly, on the handle on which the
// receiver keeps its watch read pending; meanwhile the client writes onto that pipe, so the
// watch's read completes (and is started again) in the middle of the write. Each operation has
// an OVERLAPPED and an event of its own: the write is not taken for finished when the read is,
// both frames arrive whole and in order, and the client is not taken for gone.
void TestPipeServer::largeFramesWhileTheWatchOnTheSameHandleCompletes()
{
    VXPipeServer server;
    QSignalSpy connected(&server, &VXPipeServer::SigClientConnected);
    QSignalSpy closed(&server, &VXPipeServer::SigClientClosed);
    QSignalSpy leftEarly(&server, &VXPipeServer::SigClientLeftBeforeConnecting);
    QVERIFY(server.InitPipe(m_write, m_read));
    TestChatClient client;
    QVERIFY(client.Open(m_write, m_read));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);

    QByteArray big(4 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 + i / 4096);
    QVERIFY(server.AsyncWriteData(big));
    QVERIFY(server.AsyncWriteData("after the big one"));
    // Noise on the write pipe while the big frame is under way; the reader is slow enough
    // (about a second) for the write to be pending meanwhile.
    QList<QByteArray> frames;
    std::thread reader([&] {  // joined below: ThreadSanitizer sees that order, not QThread's

        QByteArray stream;
        char chunk[16384];
        while (frames.size() < 2) {
            OVERLAPPED overlapped = {};
            overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            DWORD read = 0;
            BOOL ok = ReadFile(client.fromModule.Handle(), chunk, sizeof chunk, &read, &overlapped);
            if (!ok && GetLastError() == ERROR_IO_PENDING)
                ok = GetOverlappedResult(client.fromModule.Handle(), &overlapped, &read, TRUE);
            else if (!ok && GetLastError() == ERROR_MORE_DATA)
                GetOverlappedResult(client.fromModule.Handle(), &overlapped, &read, FALSE);
            const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
            CloseHandle(overlapped.hEvent);
            if (!ok && error != ERROR_MORE_DATA)
                return;
            VXPipeFrame::Reassemble(stream, chunk, int(read), [&](const QByteArray& payload) { frames.append(payload); });
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
    });
    for (int i = 0; i < 3; ++i) {
        QTest::qWait(100);
        QVERIFY(client.fromModule.Write("noise the module ignores"));
    }
    reader.join();
    QCOMPARE(frames.size(), 2);
    QVERIFY(frames[0] == big);
    QCOMPARE(frames[1], QByteArray("after the big one"));
    QVERIFY(server.IsConnected());
    QCOMPARE(closed.count() + leftEarly.count(), 0);
}

void TestPipeServer::writeQueuedBeforeClientConnectsIsDelivered()
{
    VXPipeServer server;
    QVERIFY(server.InitPipe(m_write, m_read));
    QVERIFY(server.AsyncWriteData("before the client"));  // waits behind the connection
    TestChatClient client;
    QVERIFY(client.Open(m_write, m_read));
    QCOMPARE(client.fromModule.ReadFrames(1), QList<QByteArray>{QByteArray("before the client")});
}

void TestPipeServer::pipesAreBackWhenClosedIsSignalled()
{
    VXPipeServer server;
    QSignalSpy connected(&server, &VXPipeServer::SigClientConnected);
    QVERIFY(server.InitPipe(m_write, m_read));
    auto* first = new TestChatClient;
    QVERIFY(first->Open(m_write, m_read));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);

    // What a receiver of SigClientClosed finds at that very moment.
    bool connectedAtClose = true;
    DWORD reopenWrite = 1, reopenRead = 1;
    TestChatClient second;
    connect(&server, &VXPipeServer::SigClientClosed, this, [&] {
        connectedAtClose = server.IsConnected();
        reopenWrite = second.fromModule.Open(m_write);
        reopenRead = second.toModule.Open(m_read);
    });
    QSignalSpy closed(&server, &VXPipeServer::SigClientClosed);
    first->Close();
    delete first;
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, kLong);
    QCOMPARE(connectedAtClose, false);
    QCOMPARE(reopenWrite, DWORD(ERROR_SUCCESS));
    QCOMPARE(reopenRead, DWORD(ERROR_SUCCESS));

    // The second client talks as the first did.
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 2, kLong);
    QVERIFY(server.AsyncWriteData("hello again"));
    QCOMPARE(second.fromModule.ReadFrames(1), QList<QByteArray>{QByteArray("hello again")});
}

void TestPipeServer::manyClientsInARow()
{
    VXPipeServer server;
    QSignalSpy connected(&server, &VXPipeServer::SigClientConnected);
    QSignalSpy closed(&server, &VXPipeServer::SigClientClosed);
    QSignalSpy data(&server, &VXPipeServer::SigReadData);
    QVERIFY(server.InitPipe(m_write, m_read));
    const int clients = 20;
    for (int i = 0; i < clients; ++i) {
        TestChatClient client;
        QVERIFY2(client.Open(m_write, m_read), qPrintable(QStringLiteral("client %1").arg(i)));
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), i + 1, kLong);
        QVERIFY(server.AsyncWriteData(QByteArray::number(i)));
        QCOMPARE(client.fromModule.ReadFrames(1), QList<QByteArray>{QByteArray::number(i)});
        QVERIFY(client.toModule.WriteFrame(QByteArray::number(i)));
        QTRY_COMPARE_WITH_TIMEOUT(data.count(), i + 1, kLong);
        client.Close();
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), i + 1, kLong);
        QVERIFY(!server.IsConnected());
    }
    QCOMPARE(data.last().at(0).toByteArray(), QByteArray::number(clients - 1));
}

void TestPipeServer::clientLeavingTheWritePipeEarly_data()
{
    QTest::addColumn<bool>("readPipeFirst");
    QTest::newRow("write pipe only, then gone") << false;
    QTest::newRow("read pipe, then the write pipe closed alone") << true;
}

// A client that held the write pipe and left before the read pipe would leave it busy for good;
// the server makes both afresh and says so. One that is connected on the read pipe stays
// connected when it closes only the write pipe.
void TestPipeServer::clientLeavingTheWritePipeEarly()
{
    QFETCH(bool, readPipeFirst);
    VXPipeServer server;
    QSignalSpy connected(&server, &VXPipeServer::SigClientConnected);
    QSignalSpy closed(&server, &VXPipeServer::SigClientClosed);
    QSignalSpy leftEarly(&server, &VXPipeServer::SigClientLeftBeforeConnecting);
    QSignalSpy data(&server, &VXPipeServer::SigReadData);
    TrackingRecorder tracking;
    QVERIFY(server.InitPipe(m_write, m_read));
    {
        TestChatClient first;
        if (readPipeFirst) {
            QCOMPARE(first.toModule.Open(m_read), DWORD(ERROR_SUCCESS));
            QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);
        }
        QCOMPARE(first.fromModule.Open(m_write), DWORD(ERROR_SUCCESS));
        QTRY_VERIFY_WITH_TIMEOUT(!server.IsWaitingForClient(), kLong);  // the sender has it
        first.fromModule.Close();
        if (readPipeFirst) {
            QVERIFY(first.toModule.WriteFrame("still here"));
            QTRY_COMPARE_WITH_TIMEOUT(data.count(), 1, kLong);
            QVERIFY(server.IsConnected());
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(leftEarly.count(), 1, kLong);
            QCOMPARE(tracking.WithCode(QStringLiteral("PipeServerRecycle")).size(), 1);
        }
    }
    if (readPipeFirst)
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, kLong);
    // Either way the next client finds both pipes waiting for it.
    TestChatClient next;
    QTRY_VERIFY_WITH_TIMEOUT(server.IsWaitingForClient(), kLong);
    QVERIFY(next.Open(m_write, m_read));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), readPipeFirst ? 2 : 1, kLong);
    QCOMPARE(leftEarly.count(), readPipeFirst ? 0 : 1);
    QCOMPARE(closed.count(), readPipeFirst ? 1 : 0);
    QVERIFY(server.AsyncWriteData("to the next one"));
    QCOMPARE(next.fromModule.ReadFrames(1), QList<QByteArray>{QByteArray("to the next one")});
}

// A client floods while the server's thread does not take what arrives: the receiver stops at the
// backlog's limit (the rest waits in the pipe), and once the thread runs again everything arrives,
// in order.
// What a client sees when the module goes away (the host releases it): both pipes are
// disconnected before they are closed, so its read (pending or not) and its writes fail with
// ERROR_PIPE_NOT_CONNECTED - not the codes of a host that died without disconnecting.
void TestPipeServer::clientSeesNotConnectedWhenTheServerGoes()
{
    auto* server = new VXPipeServer;
    QSignalSpy connected(server, &VXPipeServer::SigClientConnected);
    QVERIFY(server->InitPipe(m_write, m_read));
    TestChatClient client;
    QVERIFY(client.Open(m_write, m_read));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);

    bool readOk = true;
    std::thread reader([&] {
        QByteArray message;
        readOk = client.fromModule.ReadMessage(&message, kLong);
    });
    delete server;
    reader.join();
    QVERIFY(!readOk);
    QCOMPARE(client.fromModule.LastError(), DWORD(ERROR_PIPE_NOT_CONNECTED));
    const bool wrote = client.toModule.Write("after the server", kLong);
    const DWORD writeError = GetLastError();
    QVERIFY(!wrote);
    QCOMPARE(writeError, DWORD(ERROR_PIPE_NOT_CONNECTED));
}

// A frame with an empty payload is a payload like any other: handed on, the connection kept.
// (A zero-length pipe message is different, but whether it ends the connection depends on
// whether the receiver's read was already waiting when it came, so it has no test of its own.)
void TestPipeServer::emptyPayloadKeepsTheConnection()
{
    VXPipeServer server;
    QSignalSpy connected(&server, &VXPipeServer::SigClientConnected);
    QSignalSpy closed(&server, &VXPipeServer::SigClientClosed);
    QSignalSpy data(&server, &VXPipeServer::SigReadData);
    QVERIFY(server.InitPipe(m_write, m_read));
    TestChatClient client;
    QVERIFY(client.Open(m_write, m_read));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);

    QVERIFY(client.toModule.WriteFrame(QByteArray()));
    QVERIFY(client.toModule.WriteFrame("after"));
    QTRY_COMPARE_WITH_TIMEOUT(data.count(), 2, kLong);
    QCOMPARE(data.at(0).at(0).toByteArray(), QByteArray());
    QCOMPARE(data.at(1).at(0).toByteArray(), QByteArray("after"));
    QCOMPARE(closed.count(), 0);
    client.Close();
}

void TestPipeServer::busyHostThreadStopsTheReader()
{
    VXPipeServer server;
    QSignalSpy connected(&server, &VXPipeServer::SigClientConnected);
    QList<QByteArray> received;
    connect(&server, &VXPipeServer::SigReadData, this, [&](const QByteArray& payload) { received.append(payload); });
    QVERIFY(server.InitPipe(m_write, m_read));
    TestChatClient client;
    QVERIFY(client.Open(m_write, m_read));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);

    // Ten times the payload limit, in frames of 10 bytes, from a thread of its own: its writes
    // block once the pipe is full, as a client's would.
    const int frames = 10 * VXPipeBacklog::kDefaultMaxPayloads;
    QThread* writer = QThread::create([&] {
        for (int i = 0; i < frames; ++i)
            client.toModule.WriteFrame(QByteArray::number(1000000000 + i));
    });
    writer->start();
    // This thread is the host's, and it is busy for two seconds: nothing is taken meanwhile. A
    // reader without a bound would have read everything by then.
    QThread::msleep(2000);
    const int slack = VXPipeReciver::kReadBufferSize / 14;  // frames one read may complete at once
    QVERIFY2(server.Backlog().Payloads() <= VXPipeBacklog::kDefaultMaxPayloads + slack,
             qPrintable(QString::number(server.Backlog().Payloads())));
    QVERIFY(!writer->isFinished());  // the rest waits in the pipe

    QTRY_COMPARE_WITH_TIMEOUT(received.size(), frames, kLong);
    QVERIFY(writer->wait(kLong));
    delete writer;
    for (int i = 0; i < frames; ++i)
        QCOMPARE(received.at(i), QByteArray::number(1000000000 + i));
    QCOMPARE(server.Backlog().Payloads(), 0);
    QVERIFY(server.Backlog().PeakPayloads() <= VXPipeBacklog::kDefaultMaxPayloads + slack);
}

void TestPipeServer::teardownWithStuckClientReturns()
{
    auto* server = new VXPipeServer;
    QVERIFY(server->InitPipe(m_write, m_read));
    TestChatClient client;  // connects, then never reads
    QVERIFY(client.Open(m_write, m_read));
    QSignalSpy connected(server, &VXPipeServer::SigClientConnected);
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);
    for (int i = 0; i < 32; ++i)
        QVERIFY(server->AsyncWriteData(QByteArray(1 << 20, 'q')));
    delete server;
}

QTEST_GUILESS_MAIN(TestPipeServer)
#include "tst_pipeserver.moc"
