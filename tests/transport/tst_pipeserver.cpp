// The pipe server over real pipes with a test chat client: name limits and set-up reports, names
// another process holds, a large write while the watch of the write pipe reads on the same handle,
// clients coming and going under the same names (also half-connected ones), the server going,
// and the bound on what a busy host has not taken yet.

#include "PipeTestClient.h"
#include "Recorders.h"
#include "TransportTest.h"

#include "PlatformKKWrapper/VXPipeInstance.h"
#include "PlatformKKWrapper/VXPipeReciver.h"
#include "PlatformKKWrapper/VXPipeServer.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

// A chat client in the test: reads the module's write pipe, writes the module's read pipe.
struct TestChatClient
{
    PipeTestClient fromModule;
    PipeTestClient toModule;

    bool Open(const QString& write, const QString& read)
    {
        return fromModule.Open(write) == ERROR_SUCCESS && toModule.Open(read) == ERROR_SUCCESS;
    }
    void Close() { toModule.Close(), fromModule.Close(); }
};

// A server on fresh names, what it emits recorded, and a client.
struct Server
{
    ~Server() { delete server; }
    bool Init() { return server->InitPipe(write, read); }
    bool Connect()  // and the client with it
    {
        return Init() && client.Open(write, read) &&
               QTest::qWaitFor([this] { return connected.count() == 1; }, kLong);
    }

    const QString write = UniquePipeName(QStringLiteral("w"));
    const QString read = UniquePipeName(QStringLiteral("r"));
    VXPipeServer* server = new VXPipeServer;
    QSignalSpy connected{server, &VXPipeServer::SigClientConnected};
    QSignalSpy closed{server, &VXPipeServer::SigClientClosed};
    QSignalSpy leftEarly{server, &VXPipeServer::SigClientLeftBeforeConnecting};
    QSignalSpy data{server, &VXPipeServer::SigReadData};
    TestChatClient client;
};

}  // namespace

class TestPipeServer : public QObject
{
    Q_OBJECT

private slots:
    void setUp_data();
    void setUp();
    void takenNameIsRetriedThenGivenUp_data();
    void takenNameIsRetriedThenGivenUp();
    void largeFrameWhileTheWatchOnTheSameHandleCompletes();
    void clientsComeAndGoUnderTheSameNames();
    void clientLeavingTheWritePipeEarly_data();
    void clientLeavingTheWritePipeEarly();
    void clientSeesNotConnectedWhenTheServerGoes();
    void emptyPayloadKeepsTheConnection();
    void busyHostThreadStopsTheReader();
};

void TestPipeServer::setUp_data()
{
    QTest::addColumn<int>("writeLength");
    QTest::addColumn<int>("readLength");
    QTest::addColumn<QStringList>("reports");
    const QStringList refused{"PipeServerAsyncWriteDataError", "PipeServerWriteDataError"};
    QTest::newRow("both names 256 long") << 256 << 256
                                         << refused + QStringList{"PipeServerCreateSuccess", "PipeServerCreateSuccess"};
    QTest::newRow("write name 257") << 257 << 56 << refused + QStringList{"PipeServerInitError"};
    QTest::newRow("read name 257") << 57 << 257 << refused + QStringList{"PipeServerInitError"};
}

// Writes before the pipes exist are refused; a name over 256 characters is refused and nothing
// is created; else both pipes are created once, as single instances.
void TestPipeServer::setUp()
{
    QFETCH(int, writeLength);
    QFETCH(int, readLength);
    QFETCH(QStringList, reports);
    const bool accepted = writeLength <= 256 && readLength <= 256;
    Server s;
    const QString write = s.write.leftJustified(writeLength, 'x'), read = s.read.leftJustified(readLength, 'x');
    TrackingRecorder tracking;
    QVERIFY(!s.server->AsyncWriteData("before the pipes"));
    QVERIFY(!s.server->WriteData("before the pipes"));
    QCOMPARE(s.server->InitPipe(write, read), accepted);
    QVERIFY(!accepted || s.server->CreateServer());  // a second time: changes nothing
    QCOMPARE(tracking.Codes(), reports);
    if (!accepted) {
        QCOMPARE(tracking.Records().last().text, QStringLiteral("Pipe name length is too long"));
        QCOMPARE(s.client.fromModule.Open(writeLength <= 256 ? write : read), DWORD(ERROR_FILE_NOT_FOUND));
        return;
    }
    QVERIFY(s.client.Open(write, read));
    TestChatClient second;
    QCOMPARE(second.fromModule.Open(write), DWORD(ERROR_PIPE_BUSY));
    QCOMPARE(second.toModule.Open(read), DWORD(ERROR_PIPE_BUSY));
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
// moment, and then either has both or says it cannot (and makes both when asked again).
void TestPipeServer::takenNameIsRetriedThenGivenUp()
{
    QFETCH(bool, readNameTaken);
    QFETCH(bool, releasedMeanwhile);
    Server s;
    std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> other(VXPipeInstance::Create(readNameTaken ? s.read : s.write),
                                                        &CloseHandle);  // another server holds it
    QVERIFY(other.get() != INVALID_HANDLE_VALUE);
    TrackingRecorder tracking;
    QSignalSpy ready(s.server, &VXPipeServer::SigPipesReady);
    QSignalSpy unavailable(s.server, &VXPipeServer::SigPipesUnavailable);
    QVERIFY(s.Init());
    QCOMPARE(tracking.WithCode(QStringLiteral("PipeServerCreateError")).at(0).text,
             readNameTaken ? QStringLiteral("Create read pipe failed") : QStringLiteral("Create write pipe failed"));
    QVERIFY(!s.server->IsListening());
    QVERIFY(s.server->IsRetrying());
    QCOMPARE(s.client.fromModule.Open(readNameTaken ? s.write : s.read), DWORD(ERROR_FILE_NOT_FOUND));  // no lone pipe
    QVERIFY(!s.server->AsyncWriteData("nobody to write to"));
    if (releasedMeanwhile)
        other.reset();
    QTRY_COMPARE_WITH_TIMEOUT(ready.count() + unavailable.count(), 1, kLong);
    QCOMPARE(ready.count(), int(releasedMeanwhile));
    QVERIFY(!s.server->IsRetrying());
    QCOMPARE(s.server->IsListening(), releasedMeanwhile);
    if (!releasedMeanwhile) {
        QCOMPARE(tracking.WithCode(QStringLiteral("PipeServerCreateError")).size(), VXPipeServer::kCreateRetries + 1);
        QCOMPARE(tracking.WithCode(QStringLiteral("PipeServerUnavailable")).size(), 1);
        other.reset();
        QVERIFY(s.server->CreateServer());
    }
    QVERIFY(s.client.Open(s.write, s.read));
}

// The sender writes a 4 MiB frame to a client that reads slowly, on the handle on which the
// receiver keeps its watch read pending; meanwhile the client writes onto that pipe, so the
// watch's read completes (and is started again) in the middle of the write. Each operation has
// an OVERLAPPED and an event of its own: the write is not taken for finished when the read is,
// both frames arrive whole and in order, and the client is not taken for gone.
void TestPipeServer::largeFrameWhileTheWatchOnTheSameHandleCompletes()
{
    Server s;
    QVERIFY(s.Connect());
    const QByteArray big = Pattern(4 * 1024 * 1024), after("after the big one");
    QVERIFY(s.server->AsyncWriteData(big));
    QVERIFY(s.server->AsyncWriteData(after));
    SlowReader reader(s.client.fromModule.Handle(), big.size() + after.size() + 8);
    for (int i = 0; i < 3; ++i) {  // spread over the second the reader takes
        QTest::qWait(100);
        QVERIFY(s.client.fromModule.Write("noise the module ignores"));
    }
    QVERIFY(reader.Join() == VXPipeFrame::Pack(big) + VXPipeFrame::Pack(after));
    QVERIFY(s.server->IsConnected());
    QCOMPARE(s.closed.count() + s.leftEarly.count(), 0);
}

// Each client talks both ways and leaves; whoever hears SigClientClosed finds the server no
// longer connected and both pipes already back, so the next client can open them right then.
void TestPipeServer::clientsComeAndGoUnderTheSameNames()
{
    const int count = 20;
    Server s;
    TestChatClient clients[count];
    QList<bool> nextOpenedAtClose;
    connect(s.server, &VXPipeServer::SigClientClosed, this, [&] {
        const int next = nextOpenedAtClose.size() + 1;
        nextOpenedAtClose << (!s.server->IsConnected() && (next == count || clients[next].Open(s.write, s.read)));
    });
    QVERIFY(s.Init());
    QVERIFY(clients[0].Open(s.write, s.read));
    for (int i = 0; i < count; ++i) {
        TestChatClient& client = clients[i];
        QTRY_COMPARE_WITH_TIMEOUT(s.connected.count(), i + 1, kLong);
        QVERIFY(s.server->AsyncWriteData(QByteArray::number(i)));
        QCOMPARE(client.fromModule.ReadFrames(1), QList<QByteArray>{QByteArray::number(i)});
        QVERIFY(client.toModule.WriteFrame(QByteArray::number(-i)));
        QTRY_COMPARE_WITH_TIMEOUT(s.data.count(), i + 1, kLong);
        QCOMPARE(s.data.last().at(0).toByteArray(), QByteArray::number(-i));
        client.Close();
        QTRY_COMPARE_WITH_TIMEOUT(s.closed.count(), i + 1, kLong);
        QVERIFY2(nextOpenedAtClose.last(), qPrintable(QStringLiteral("client %1").arg(i)));
    }
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
    Server s;
    TrackingRecorder tracking;
    QVERIFY(s.Init());
    if (readPipeFirst) {
        QCOMPARE(s.client.toModule.Open(s.read), DWORD(ERROR_SUCCESS));
        QTRY_COMPARE_WITH_TIMEOUT(s.connected.count(), 1, kLong);
    }
    QCOMPARE(s.client.fromModule.Open(s.write), DWORD(ERROR_SUCCESS));
    QTRY_VERIFY_WITH_TIMEOUT(!s.server->IsWaitingForClient(), kLong);  // the sender has it
    s.client.fromModule.Close();
    if (readPipeFirst) {
        QVERIFY(s.client.toModule.WriteFrame("still here"));
        QTRY_COMPARE_WITH_TIMEOUT(s.data.count(), 1, kLong);
        QVERIFY(s.server->IsConnected());
        s.client.Close();
        QTRY_COMPARE_WITH_TIMEOUT(s.closed.count(), 1, kLong);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(s.leftEarly.count(), 1, kLong);
        QCOMPARE(tracking.WithCode(QStringLiteral("PipeServerRecycle")).size(), 1);
    }
    // Either way the next client finds both pipes waiting for it.
    TestChatClient next;
    QTRY_VERIFY_WITH_TIMEOUT(s.server->IsWaitingForClient(), kLong);
    QVERIFY(next.Open(s.write, s.read));
    QTRY_COMPARE_WITH_TIMEOUT(s.connected.count(), readPipeFirst ? 2 : 1, kLong);
    QCOMPARE(s.leftEarly.count() + s.closed.count(), 1);
    QVERIFY(s.server->AsyncWriteData("to the next one"));
    QCOMPARE(next.fromModule.ReadFrames(1), QList<QByteArray>{"to the next one"});
}

// What a client sees when the module goes away (the host releases it): both pipes are
// disconnected before they are closed, so its read (pending or not) and its writes fail with
// ERROR_PIPE_NOT_CONNECTED - not the codes of a host that died without disconnecting.
void TestPipeServer::clientSeesNotConnectedWhenTheServerGoes()
{
    Server s;
    QVERIFY(s.Connect());
    bool readOk = true;
    std::thread reader([&] {
        QByteArray message;
        readOk = s.client.fromModule.ReadMessage(&message, kLong);
    });
    delete s.server;
    s.server = nullptr;
    reader.join();
    QVERIFY(!readOk);
    QCOMPARE(s.client.fromModule.LastError(), DWORD(ERROR_PIPE_NOT_CONNECTED));
    const bool wrote = s.client.toModule.Write("after the server", kLong);
    const DWORD writeError = GetLastError();  // before anything else can reset it
    QVERIFY(!wrote);
    QCOMPARE(writeError, DWORD(ERROR_PIPE_NOT_CONNECTED));
}

// A frame with an empty payload is a payload like any other: handed on, the connection kept.
// (A zero-length pipe message is different, but whether it ends the connection depends on
// whether the receiver's read was already waiting when it came, so it has no test of its own.)
void TestPipeServer::emptyPayloadKeepsTheConnection()
{
    Server s;
    QVERIFY(s.Connect());
    QVERIFY(s.client.toModule.WriteFrame(QByteArray()));
    QVERIFY(s.client.toModule.WriteFrame("after"));
    QTRY_COMPARE_WITH_TIMEOUT(s.data.count(), 2, kLong);
    QCOMPARE(s.data.at(0).at(0).toByteArray(), QByteArray());
    QCOMPARE(s.data.at(1).at(0).toByteArray(), QByteArray("after"));
    QVERIFY(s.server->IsConnected());
    QCOMPARE(s.closed.count(), 0);
}

// A client floods while the host's thread (this one) is busy for two seconds and takes nothing:
// the receiver stops at the backlog's limit, the rest waits in the pipe, and once the thread runs
// again everything arrives, in order.
void TestPipeServer::busyHostThreadStopsTheReader()
{
    Server s;
    QVERIFY(s.Connect());
    const int frames = 10 * VXPipeBacklog::kDefaultMaxPayloads;
    std::atomic<bool> allWritten{false};
    std::thread writer([&] {  // its writes block once the pipe is full, as a client's would
        for (int i = 0; i < frames; ++i)
            s.client.toModule.WriteFrame(QByteArray::number(1000000000 + i));
        allWritten = true;
    });
    auto stop = qScopeGuard([&] {  // a failed check must not leave the writer blocked
        delete s.server;
        s.server = nullptr;
        writer.join();
    });
    QThread::msleep(2000);  // the busy host: a reader without a bound would have read everything by then
    const int bound = VXPipeBacklog::kDefaultMaxPayloads + VXPipeReciver::kReadBufferSize / 14;  // + one read's frames
    QVERIFY2(s.server->Backlog().Payloads() <= bound, qPrintable(QString::number(s.server->Backlog().Payloads())));
    QVERIFY(!allWritten);
    QTRY_COMPARE_WITH_TIMEOUT(s.data.count(), frames, kLong);
    for (int i = 0; i < frames; ++i)
        QCOMPARE(s.data.at(i).at(0).toByteArray(), QByteArray::number(1000000000 + i));
    QCOMPARE(s.server->Backlog().Payloads(), 0);
    QVERIFY(s.server->Backlog().PeakPayloads() <= bound);
}

QTEST_GUILESS_MAIN(TestPipeServer)
#include "tst_pipeserver.moc"
