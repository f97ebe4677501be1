// The request wrapper over real pipes with a test client: each operation puts exactly one frame
// on the pipe with the documented name and typed positional arguments, records exactly what it
// wrote, and does nothing at all while the client is not connected.

#include "PipeTestClient.h"
#include "Recorders.h"

#include "PlatformKKWrapper/KKSettingEntity.h"
#include "PlatformKKWrapper/KKWrapperImplement.h"
#include "PlatformKKWrapper/VXPipeServer.h"
#include "VXFoundation/VXProcessMessage.h"
#include "VXCore/VXGlobalData.h"
#include "VXCore/VXTcpManager.h"
#include "VXFrameData/IGeneralData.h"
#include "VXFrameData/VXKKData.h"

#include <QSignalSpy>
#include <QUuid>
#include <QtTest>

#include <functional>

using Operation = std::function<void(IKKInterface*)>;
using Args = QList<QVariant>;
Q_DECLARE_METATYPE(Operation)
Q_DECLARE_METATYPE(Args)

namespace {

const int kLong = 30000;  // ms

bool SameArgs(const Args& a, const Args& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].userType() != b[i].userType() || a[i] != b[i])
            return false;
    }
    return true;
}

}  // namespace

class TestWrapper : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void eachOperationWritesOneMessage_data();
    void eachOperationWritesOneMessage();
    void loginReadsHostValuesWhenBuilt_data();
    void loginReadsHostValuesWhenBuilt();
    void nothingWhileNotConnected();

private:
    void ConnectClient();

    VXPipeServer* m_server = nullptr;
    KKWrapperImplement* m_wrapper = nullptr;
    PipeTestClient m_fromModule;
    PipeTestClient m_toModule;
    QString m_write, m_read;
};

void TestWrapper::init()
{
    const QString id = QUuid::createUuid().toString();
    m_write = QStringLiteral("\\\\.\\pipe\\writepipe_") + id;
    m_read = QStringLiteral("\\\\.\\pipe\\readpipe_") + id;
    m_server = new VXPipeServer;
    QVERIFY(m_server->InitPipe(m_write, m_read));
    m_wrapper = new KKWrapperImplement(m_server);
}

void TestWrapper::cleanup()
{
    m_fromModule.Close();
    m_toModule.Close();
    delete m_wrapper;  // before the server it refers to
    delete m_server;
    m_wrapper = nullptr;
    m_server = nullptr;
}

void TestWrapper::ConnectClient()
{
    QSignalSpy connected(m_server, &VXPipeServer::SigClientConnected);
    QCOMPARE(m_fromModule.Open(m_write), DWORD(ERROR_SUCCESS));
    QCOMPARE(m_toModule.Open(m_read), DWORD(ERROR_SUCCESS));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kLong);
}

void TestWrapper::eachOperationWritesOneMessage_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QString>("name");
    QTest::addColumn<Args>("args");
    QTest::addColumn<QString>("eventCode");

    KKSettingEntity setting;
    setting.SetSkinName(QStringLiteral("dark"));
    setting.SetProxy(QJsonObject{{"host", "10.0.0.1"}});
    const QByteArray settingJson = setting.ToJson();

    QTest::newRow("ChangeSetting") << Operation([setting](IKKInterface* w) { w->ChangeSetting(setting); })
                                   << "ChangeSetting" << Args{settingJson} << "ChangeSetting";
    QTest::newRow("OpenKKWindow, mixed-case pin")
        << Operation([](IKKInterface* w) { w->OpenKKWindow(QStringLiteral("BuYeR_0815"), KK_UserType_Merchant, QStringLiteral("App-ID"), QString()); })
        << "OpenKKWindow" << Args{QStringLiteral("buyer_0815"), 1, QStringLiteral("App-ID"), QString()} << "OpenKKWindow";
    QTest::newRow("OpenKKGroup") << Operation([](IKKInterface* w) { w->OpenKKGroup(QStringLiteral("g1"), QStringLiteral("Two")); })
                                 << "OpenKKGroup" << Args{QStringLiteral("g1"), QStringLiteral("Two")} << "OpenKKGroup";
    QTest::newRow("OpenKKWorkbench") << Operation([](IKKInterface* w) { w->OpenKKWorkbench(QStringLiteral("orders")); })
                                     << "JsOpenKKWorkbench" << Args{QStringLiteral("orders")} << "OpenKKWorkbench";
    QTest::newRow("OpenBaseInfoSettingWindow") << Operation([](IKKInterface* w) { w->OpenBaseInfoSettingWindow(); })
                                               << "OpenBaseInfoSettingWindow" << Args{} << "OpenBaseInfoSettingWindow";
    QTest::newRow("ChangeStatus") << Operation([](IKKInterface* w) { w->ChangeStatus(KK_Status_Unset); })
                                  << "ChangeStatus" << Args{6} << "ChangeStatus";
    QTest::newRow("ShowUnreadMessageList") << Operation([](IKKInterface* w) { w->ShowUnreadMessageList(false, -1, 0, 7, 2147483647); })
                                           << "ShowUnreadMessageList" << Args{false, -1, 0, 7, 2147483647} << "ShowUnreadMessageList";
    QTest::newRow("ChangeSkin") << Operation([](IKKInterface* w) { w->ChangeSkin(QStringLiteral("blue")); })
                                << "ChangeSkin" << Args{QByteArray("{\"skinName\":\"blue\"}")} << "ChangeSkin";
    QTest::newRow("ChangeSkin, empty name") << Operation([](IKKInterface* w) { w->ChangeSkin(QString()); })
                                            << "ChangeSkin" << Args{QByteArray("{\"skinName\":\"\"}")} << "ChangeSkin";
    QTest::newRow("NotifyChanged") << Operation([](IKKInterface* w) { w->NotifyChanged(QStringLiteral("x \"y\"")); })
                                   << "NotifyChanged" << Args{QStringLiteral("x \"y\"")} << "NotifyChanged";
    QTest::newRow("NotifyHasNewVersion") << Operation([](IKKInterface* w) { w->NotifyHasNewVersion(); })
                                         << "VXHasNewVersion" << Args{} << "NotifyHasNewVersion";
}

void TestWrapper::eachOperationWritesOneMessage()
{
    QFETCH(Operation, operation);
    QFETCH(QString, name);
    QFETCH(Args, args);
    QFETCH(QString, eventCode);
    ConnectClient();
    TrackingRecorder tracking;
    operation(m_wrapper);
    m_wrapper->NotifyChanged(QStringLiteral("end marker"));

    const QList<QByteArray> frames = m_fromModule.ReadFrames(2);
    QCOMPARE(frames.size(), 2);
    const auto message = VXProcessMessage::CreateFromString(QString::fromUtf8(frames[0]));
    QVERIFY(message);
    QCOMPARE(message->GetName(), name);
    QVERIFY2(SameArgs(message->GetArgs(), args), frames[0].constData());
    QCOMPARE(VXProcessMessage::CreateFromString(QString::fromUtf8(frames[1]))->GetArgs().value(0).toString(),
             QStringLiteral("end marker"));  // exactly one frame came before it

    const auto records = tracking.Records();
    QCOMPARE(records.size(), 2);
    QCOMPARE(records[0].level, QStringLiteral("Info"));
    QCOMPARE(records[0].trackId, QStringLiteral("370"));
    QCOMPARE(records[0].code, eventCode);
    QCOMPARE(records[0].text.toUtf8(), frames[0]);  // the tracking text is the text written
    QCOMPARE(records[0].value, -99999);
    QCOMPARE(records[0].extra, QString());
    // Every operation's event code is its own name, also where the message's name differs.
    QVERIFY2(records[0].location.endsWith(QStringLiteral(" KKWrapperImplement::%1 ").arg(eventCode)),
             qPrintable(records[0].location));
}

void TestWrapper::loginReadsHostValuesWhenBuilt_data()
{
    QTest::addColumn<QString>("pin");
    QTest::addColumn<bool>("changed");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("value1");
    QTest::addColumn<QString>("value2");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("all set") << "Seller_01" << true << 2 << "v1" << "v2" << QByteArray("\x00\xff", 2);
    QTest::newRow("all empty") << "" << false << 6 << "" << "" << QByteArray();
}

void TestWrapper::loginReadsHostValuesWhenBuilt()
{
    QFETCH(QString, pin);
    QFETCH(bool, changed);
    QFETCH(int, status);
    QFETCH(QString, value1);
    QFETCH(QString, value2);
    QFETCH(QByteArray, bytes);
    ConnectClient();
    VXGlobalData::Instance()->SetPin(QStringLiteral("stale"));
    VXGlobalData::Instance()->SetPin(pin);  // the value at the moment of building counts
    VXKKData* data = IGeneralData::Instance()->GetKKData();
    data->SetChangeStatus(changed);
    data->SetStartupStatus(KK_Status(status));
    VXTcpManager::Default()->SetLoginValues(value1, value2, bytes);
    m_wrapper->Login();
    const QList<QByteArray> frames = m_fromModule.ReadFrames(1);
    QCOMPARE(frames.size(), 1);
    const auto message = VXProcessMessage::CreateFromString(QString::fromUtf8(frames[0]));
    QVERIFY(message);
    QCOMPARE(message->GetName(), QStringLiteral("Login"));
    QVERIFY2(SameArgs(message->GetArgs(), Args{pin, changed, status, value1, value2, bytes}), frames[0].constData());
}

void TestWrapper::nothingWhileNotConnected()
{
    TrackingRecorder tracking;
    KKSettingEntity setting;
    m_wrapper->ChangeSetting(setting);
    m_wrapper->Login();
    m_wrapper->OpenKKWindow(QStringLiteral("p"), KK_UserType_Customer, QString(), QString());
    m_wrapper->OpenKKGroup(QString(), QString());
    m_wrapper->OpenKKWorkbench(QString());
    m_wrapper->OpenBaseInfoSettingWindow();
    m_wrapper->ChangeStatus(KK_Status_Online);
    m_wrapper->ShowUnreadMessageList(true, 1, 2, 3, 4);
    m_wrapper->ChangeSkin(QString());
    m_wrapper->NotifyChanged(QString());
    m_wrapper->NotifyHasNewVersion();
    QCOMPARE(tracking.Count(), 0);

    // Nothing was queued either: once a client connects, the first frame is the next request.
    ConnectClient();
    m_wrapper->NotifyChanged(QStringLiteral("first after connect"));
    const QList<QByteArray> frames = m_fromModule.ReadFrames(1);
    QCOMPARE(frames.size(), 1);
    QVERIFY(frames[0].contains("first after connect"));
    QCOMPARE(tracking.Count(), 1);

    KKWrapperImplement withoutServer(nullptr);
    withoutServer.NotifyHasNewVersion();
    QCOMPARE(tracking.Count(), 1);
}

QTEST_GUILESS_MAIN(TestWrapper)
#include "tst_wrapper.moc"
