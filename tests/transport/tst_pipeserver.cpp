// The pipe server over real pipes with a test client: name limits, tracking reports, both
// directions, and the client leaving and coming back, many times, under the same names.

#include "MessageCapture.h"
#include "PipeTestClient.h"
#include "Recorders.h"

#include "PlatformKKWrapper/VXPipeInstance.h"
#include "PlatformKKWrapper/VXPipeServer.h"

#include <QSignalSpy>
#include <QUuid>
#include <QtTest>

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
    void takenWriteNameLeavesNoReadPipe();
    void secondCreateServerChangesNothing();

    // --- Talking ---------------------------------------------------------------------------------
    void carriesFramesBothWays();
    void writeQueuedBeforeClientConnectsIsDelivered();

    // --- The client going away ----------------------------------------------------------------
    void pipesAreBackWhenClosedIsSignalled();
    void manyClientsInARow();
    void teardownWithStuckClientReturns();

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

void TestPipeServer::takenWriteNameLeavesNoReadPipe()
{
    const HANDLE other = VXPipeInstance::Create(m_write);  // another server holds the name
    QVERIFY(other != INVALID_HANDLE_VALUE);
    TrackingRecorder tracking;
    MessageCapture capture;
    {
        VXPipeServer server;
        QVERIFY(server.InitPipe(m_write, m_read));
        QCOMPARE(tracking.Codes(), QStringList{"PipeServerCreateError"});
        QCOMPARE(tracking.Records().at(0).text, QStringLiteral("Create write pipe failed"));
        QVERIFY(capture.Contains(QStringLiteral("CreateNamedPipe failed with 231./n")));
        PipeTestClient client;
        QCOMPARE(client.Open(m_read), DWORD(ERROR_FILE_NOT_FOUND));
        QVERIFY(server.AsyncWriteData("queued, then refused: not connected"));
    }
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
