// The router, the configuration service reading a real file, and the package manager's reports,
// both looked up from the configuration and scripted.

#include "PZUpdate/PZSdkPackageManage.h"
#include "YRBase/IConfigService.h"
#include "YRBase/VXConfigService.h"
#include "YRBase/YRRouterProtocol.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using State = PZSdkPackageManage::PrepareState;
using Steps = QList<PZSdkPackageManage::Step>;
Q_DECLARE_METATYPE(Steps)

namespace {

const QString kConfigUri = QStringLiteral("vx://config/object/service");

void WriteFile(const QString& path, const QByteArray& content, QFile::Permissions permissions = {})
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    if (permissions)
        QVERIFY(file.setPermissions(permissions));
}

Steps Reported(const QSignalSpy& spy)
{
    Steps steps;
    for (const auto& args : spy)
        steps.append({args.at(0).value<State>(), args.at(1).toString()});
    return steps;
}

}  // namespace

#if defined(Q_OS_WIN)
const char kProgramSuffix[] = ".exe";
#else
const char kProgramSuffix[] = "";
#endif

class TestServices : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // --- Router --------------------------------------------------------------------------------
    void routerFindsRegisteredObjectsOnly();
    void routerForgetsDestroyedObjects();

    // --- Configuration service -----------------------------------------------------------------
    void configReadsBoolValues_data();
    void configReadsBoolValues();
    void configReadsTheFileAgainWhenItChanges();
    void configWithoutFileGivesDefaults();
    void configIsFoundThroughTheRouterByCast();

    // --- Package manager -----------------------------------------------------------------------
    void prepareFindsTheExecutable_data();
    void prepareFindsTheExecutable();
    void prepareReportsOnlyThroughTheEventLoop();
    void prepareFallsBackToTheEnvironment();
    void prepareCanBeScripted();

private:
    std::unique_ptr<QTemporaryDir> m_tempDir;  // a fresh one per test function and data row
    QTemporaryDir& Dir() { return *m_tempDir; }
    VXConfigService* m_config = nullptr;
};

void TestServices::init()
{
    m_tempDir.reset(new QTemporaryDir);
    QVERIFY(Dir().isValid());
    m_config = new VXConfigService(Dir().filePath(QStringLiteral("host.json")));
    YRRouterProtocol::Register(kConfigUri, m_config);
    PZSdkPackageManage::ClearScripts();
    qunsetenv("VX_KOPKOP_EXECUTABLE");
}

void TestServices::cleanup()
{
    YRRouterProtocol::Unregister(kConfigUri);
    delete m_config;
    m_config = nullptr;
}

void TestServices::routerFindsRegisteredObjectsOnly()
{
    QObject object;
    QCOMPARE(YRRouterProtocol(QStringLiteral("vx://nothing/here")).GetObj(), nullptr);
    YRRouterProtocol::Register(QStringLiteral("vx://test/object"), &object);
    QObject* found = nullptr;
    {
        YRRouterProtocol router(QStringLiteral("vx://test/object"));
        found = router.GetObj();
    }
    QCOMPARE(found, &object);  // still valid after the router object is gone
    YRRouterProtocol::Unregister(QStringLiteral("vx://test/object"));
    QCOMPARE(YRRouterProtocol(QStringLiteral("vx://test/object")).GetObj(), nullptr);
}

void TestServices::routerForgetsDestroyedObjects()
{
    auto* object = new QObject;
    YRRouterProtocol::Register(QStringLiteral("vx://test/short-lived"), object);
    delete object;
    QCOMPARE(YRRouterProtocol(QStringLiteral("vx://test/short-lived")).GetObj(), nullptr);
}

void TestServices::configReadsBoolValues_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("defaultValue");
    QTest::addColumn<bool>("expected");
    QTest::newRow("true") << QByteArray("{\"k\":true}") << false << true;
    QTest::newRow("false") << QByteArray("{\"k\":false}") << true << false;
    QTest::newRow("text true") << QByteArray("{\"k\":\"TRUE\"}") << false << true;
    QTest::newRow("number 0") << QByteArray("{\"k\":0}") << true << false;
    QTest::newRow("number 1") << QByteArray("{\"k\":1}") << false << true;
    QTest::newRow("missing key") << QByteArray("{\"other\":true}") << true << true;
    QTest::newRow("not a bool") << QByteArray("{\"k\":\"maybe\"}") << false << false;
    QTest::newRow("not an object") << QByteArray("[true]") << true << true;
    QTest::newRow("broken file") << QByteArray("{\"k\":tr") << false << false;
}

void TestServices::configReadsBoolValues()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, defaultValue);
    QFETCH(bool, expected);
    WriteFile(m_config->GetFilePath(), json);
    QCOMPARE(m_config->GetBoolValue(QStringLiteral("k"), defaultValue), expected);
}

void TestServices::configReadsTheFileAgainWhenItChanges()
{
    const QString key = QStringLiteral("pc_start_kk_use_vxprocess_switch");
    WriteFile(m_config->GetFilePath(), "{\"pc_start_kk_use_vxprocess_switch\": false}");
    QCOMPARE(m_config->GetBoolValue(key, true), false);
    WriteFile(m_config->GetFilePath(), "{\"pc_start_kk_use_vxprocess_switch\": true, \"x\": 1}");
    QCOMPARE(m_config->GetBoolValue(key, false), true);
    QVERIFY(QFile::remove(m_config->GetFilePath()));
    QCOMPARE(m_config->GetBoolValue(key, false), false);
}

void TestServices::configWithoutFileGivesDefaults()
{
    QVERIFY(!m_config->IsLoaded());
    QCOMPARE(m_config->GetBoolValue(QStringLiteral("k"), true), true);
    QCOMPARE(m_config->GetStringValue(QStringLiteral("k"), QStringLiteral("d")), QStringLiteral("d"));
}

void TestServices::configIsFoundThroughTheRouterByCast()
{
    WriteFile(m_config->GetFilePath(), "{\"pc_start_kk_use_vxprocess_switch\": true}");
    auto* service = dynamic_cast<IConfigService*>(YRRouterProtocol(kConfigUri).GetObj());
    QVERIFY(service);
    QCOMPARE(service->GetBoolValue(QStringLiteral("pc_start_kk_use_vxprocess_switch"), false), true);
    QObject notAService;
    YRRouterProtocol::Register(kConfigUri, &notAService);
    QCOMPARE(dynamic_cast<IConfigService*>(YRRouterProtocol(kConfigUri).GetObj()), nullptr);
}

void TestServices::prepareFindsTheExecutable_data()
{
    QTest::addColumn<QString>("fileName");  // empty: not configured
    QTest::addColumn<int>("kind");          // 0 executable, 1 plain file, 2 directory, 3 missing
    QTest::addColumn<int>("finalState");
    QTest::addColumn<QString>("textContains");
    // Windows runs what its name says is a program; POSIX what may be executed.
    const QString program = QStringLiteral("kopkop") + kProgramSuffix;
    const QString notAProgram = kProgramSuffix[0] ? QStringLiteral("kopkop.txt") : QStringLiteral("kopkop");
    QTest::newRow("executable") << program << 0 << int(PZSdkPackageManage::PrepareFinished) << "/kopkop";
    QTest::newRow("not executable") << notAProgram << 1 << int(PZSdkPackageManage::PrepareFailed) << "not executable";
    QTest::newRow("a directory") << program << 2 << int(PZSdkPackageManage::PrepareFailed) << "is a directory";
    QTest::newRow("missing") << program << 3 << int(PZSdkPackageManage::PrepareFailed) << "does not exist";
    QTest::newRow("not configured") << "" << 3 << int(PZSdkPackageManage::PrepareFailed) << "not configured";
}

void TestServices::prepareFindsTheExecutable()
{
    QFETCH(QString, fileName);
    QFETCH(int, kind);
    QFETCH(int, finalState);
    QFETCH(QString, textContains);
    const QString path = Dir().filePath(fileName);
    if (kind == 0)
        WriteFile(path, "#!/bin/sh\n", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    else if (kind == 1)
        WriteFile(path, "data", QFile::ReadOwner | QFile::WriteOwner);
    else if (kind == 2)
        QVERIFY(QDir(Dir().path()).mkpath(fileName));
    const QByteArray config = fileName.isEmpty()
                                  ? QByteArray("{}")
                                  : QByteArray("{\"kopkop_executable\":\"") + path.toUtf8() + "\"}";
    WriteFile(m_config->GetFilePath(), config);

    PZSdkPackageManage manager(PZSdkPackageManage::SdkType_Kopkop);
    QSignalSpy spy(&manager, &PZSdkPackageManage::SigPrepareStateChanged);
    manager.Prepare();
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 10000);
    const Steps steps = Reported(spy);
    QCOMPARE(int(steps.at(0).first), int(PZSdkPackageManage::PreparePending));
    QVERIFY(!steps.at(0).second.isEmpty());
    QCOMPARE(int(steps.at(1).first), finalState);
    QVERIFY2(steps.at(1).second.contains(textContains), qPrintable(steps.at(1).second));
    if (finalState == PZSdkPackageManage::PrepareFinished)
        QCOMPARE(steps.at(1).second, QFileInfo(path).absoluteFilePath());
}

void TestServices::prepareReportsOnlyThroughTheEventLoop()
{
    PZSdkPackageManage::PushScript({{PZSdkPackageManage::PrepareFinished, QStringLiteral("/x")}});
    PZSdkPackageManage manager(PZSdkPackageManage::SdkType_Kopkop);
    QSignalSpy spy(&manager, &PZSdkPackageManage::SigPrepareStateChanged);
    const int callsBefore = PZSdkPackageManage::PrepareCallCount();
    manager.Prepare();
    manager.Prepare();  // not scripted: looks up (and fails: nothing configured)
    QCOMPARE(spy.count(), 0);
    QCOMPARE(PZSdkPackageManage::PrepareCallCount(), callsBefore + 2);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 3, 10000);
}

void TestServices::prepareFallsBackToTheEnvironment()
{
    const QString path = Dir().filePath(QStringLiteral("from-env") + kProgramSuffix);
    WriteFile(path, "#!/bin/sh\n", QFile::ReadOwner | QFile::ExeOwner);
    qputenv("VX_KOPKOP_EXECUTABLE", path.toUtf8());
    PZSdkPackageManage manager(PZSdkPackageManage::SdkType_Kopkop);
    QSignalSpy spy(&manager, &PZSdkPackageManage::SigPrepareStateChanged);
    manager.Prepare();
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 10000);
    QCOMPARE(Reported(spy).at(1), PZSdkPackageManage::Step(PZSdkPackageManage::PrepareFinished, path));
}

void TestServices::prepareCanBeScripted()
{
    const Steps first{{PZSdkPackageManage::PrepareChecking, QString()},
                      {PZSdkPackageManage::PreparePending, QStringLiteral("downloading 10%")},
                      {PZSdkPackageManage::PrepareFailed, QStringLiteral("disk full")}};
    const Steps second{{PZSdkPackageManage::PrepareCancelled, QStringLiteral("later")}};
    PZSdkPackageManage::PushScript(first);
    PZSdkPackageManage::PushScript(second);
    PZSdkPackageManage manager(PZSdkPackageManage::SdkType_Kopkop);
    QSignalSpy spy(&manager, &PZSdkPackageManage::SigPrepareStateChanged);
    manager.Prepare();
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 3, 10000);
    QCOMPARE(Reported(spy), first);
    spy.clear();
    manager.Prepare();
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
    QCOMPARE(Reported(spy), second);
}

QTEST_GUILESS_MAIN(TestServices)
#include "tst_services.moc"
