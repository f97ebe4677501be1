// The host's service contracts: the router, the configuration service reading a real file, the
// package manager's reports (looked up and scripted), and IJsonParser's JSON form.

#include "PZUpdate/PZSdkPackageManage.h"
#include "VXFoundation/IJsonParser.h"
#include "YRBase/VXConfigService.h"
#include "YRBase/YRRouterProtocol.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <tuple>

using PZ = PZSdkPackageManage;
using Steps = QList<PZ::Step>;

namespace {

const QString kConfigUri = QStringLiteral("vx://config/object/service");
#if defined(Q_OS_WIN)
const QString kProgramSuffix = QStringLiteral(".exe");  // Windows runs what its name says is a program
#else
const QString kProgramSuffix;
#endif

void WriteFile(const QString& path, const QByteArray& data, QFile::Permissions p = QFile::ReadOwner | QFile::WriteOwner)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size());
    QVERIFY(file.setPermissions(p));
}

// One Prepare() and its first `count` reports, which arrive only through the event loop.
Steps Prepare(int count)
{
    PZ manager(PZ::SdkType_Kopkop);
    QSignalSpy spy(&manager, &PZ::SigPrepareStateChanged);
    const int calls = PZ::PrepareCallCount();
    manager.Prepare();
    [&] {
        QCOMPARE(spy.count(), 0);
        QCOMPARE(PZ::PrepareCallCount(), calls + 1);
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), count, 10000);
    }();
    Steps steps;
    for (const auto& args : spy)
        steps.append({args.at(0).value<PZ::PrepareState>(), args.at(1).toString()});
    return steps;
}

}  // namespace

class Sample : public IJsonParser
{
    Q_OBJECT
    Q_PROPERTY(QByteArray raw MEMBER raw)
    Q_PROPERTY(QJsonValue extra MEMBER extra)
public:
    QByteArray raw;
    QJsonValue extra;
};

class TestServices : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;  // a fresh one per test function and data row
    std::unique_ptr<VXConfigService> m_config;

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        m_config.reset(new VXConfigService(m_dir->filePath(QStringLiteral("host.json"))));
        YRRouterProtocol::Register(kConfigUri, m_config.get());
        PZ::ClearScripts();
        qunsetenv("VX_KOPKOP_EXECUTABLE");
    }
    void cleanup() { m_config.reset(); }  // the router forgets it

    // Objects are found until unregistered or destroyed; callers reach the service by cast.
    void router()
    {
        const QString uri = QStringLiteral("vx://test/object");
        QCOMPARE(YRRouterProtocol(uri).GetObj(), nullptr);
        auto* object = new QObject;
        YRRouterProtocol::Register(uri, object);
        QCOMPARE(YRRouterProtocol(uri).GetObj(), object);
        YRRouterProtocol::Unregister(uri);
        QCOMPARE(YRRouterProtocol(uri).GetObj(), nullptr);
        YRRouterProtocol::Register(uri, object);
        delete object;
        QCOMPARE(YRRouterProtocol(uri).GetObj(), nullptr);
        QCOMPARE(dynamic_cast<IConfigService*>(YRRouterProtocol(kConfigUri).GetObj()), m_config.get());
    }
    // JSON bools, the texts and numbers that mean one, and the default for anything else.
    void configReadsBoolValues()
    {
        const QList<std::tuple<QByteArray, bool, bool>> cases{  // file, default, expected
            {R"({"k":true})", false, true}, {R"({"k":false})", true, false}, {R"({"k":" TRUE"})", false, true},
            {R"({"k":"0"})", true, false}, {R"({"k":0})", true, false}, {R"({"k":1})", false, true},
            {R"({"k":2})", true, true}, {R"({"other":true})", true, true}, {R"({"k":"maybe"})", false, false},
            {"[true]", true, true}};
        for (int i = 0; i < cases.size(); ++i) {
            const auto& [json, fallback, expected] = cases[i];
            VXConfigService config(m_dir->filePath(QString::number(i)));  // a file of its own: no stale read
            WriteFile(config.GetFilePath(), json);
            QVERIFY2(config.GetBoolValue(QStringLiteral("k"), fallback) == expected, json.constData());
        }
    }
    // Read again whenever it changed; without a file, every lookup gives its default.
    void configFollowsTheFile()
    {
        const QString key = QStringLiteral("k"), fallback = QStringLiteral("d");
        QCOMPARE(m_config->GetStringValue(key, fallback), fallback);
        WriteFile(m_config->GetFilePath(), R"({"k": false})");
        QCOMPARE(m_config->GetBoolValue(key, true), false);
        QVERIFY(m_config->IsLoaded());
        WriteFile(m_config->GetFilePath(), R"({"k": 134217728, "x": 1})");
        QCOMPARE(m_config->GetStringValue(key, fallback), QStringLiteral("134217728"));
        QVERIFY(QFile::remove(m_config->GetFilePath()));
        QCOMPARE(m_config->GetStringValue(key, fallback), fallback);
        QVERIFY(!m_config->IsLoaded());
    }
    void prepareFindsTheExecutable_data()
    {
        QTest::addColumn<int>("kind");  // 0 executable, 1 plain file, 2 directory, 3 missing, 4 not configured
        QTest::addColumn<bool>("fromEnvironment");
        QTest::addColumn<QString>("failure");  // empty: found
        QTest::newRow("executable") << 0 << false << "";
        QTest::newRow("executable, from the environment") << 0 << true << "";
        QTest::newRow("not executable") << 1 << false << "not executable";
        QTest::newRow("a directory") << 2 << false << "is a directory";
        QTest::newRow("missing") << 3 << true << "does not exist";
        QTest::newRow("not configured") << 4 << false << "not configured";
    }
    void prepareFindsTheExecutable()
    {
        QFETCH(int, kind);
        QFETCH(bool, fromEnvironment);
        QFETCH(QString, failure);
        const bool txt = kind == 1 && !kProgramSuffix.isEmpty();  // Windows: a name that is not a program's
        const QString path = m_dir->filePath(txt ? QStringLiteral("kopkop.txt") : "kopkop" + kProgramSuffix);
        if (kind < 2)
            WriteFile(path, "#!/bin/sh\n", QFile::ReadOwner | (kind ? QFile::WriteOwner : QFile::ExeOwner));
        else if (kind == 2)
            QVERIFY(QDir().mkpath(path));
        if (fromEnvironment)
            qputenv("VX_KOPKOP_EXECUTABLE", path.toUtf8());
        const QByteArray entry = "\"kopkop_executable\":\"" + path.toUtf8() + '"';
        WriteFile(m_config->GetFilePath(), "{" + (kind == 4 || fromEnvironment ? QByteArray() : entry) + "}");
        const Steps steps = Prepare(2);
        QCOMPARE(steps.value(0).first, PZ::PreparePending);
        QCOMPARE(steps.value(1).first, failure.isEmpty() ? PZ::PrepareFinished : PZ::PrepareFailed);
        const QString text = steps.value(1).second;
        QVERIFY2(failure.isEmpty() ? text == path : text.contains(failure), qPrintable(text));
    }
    // Scripts play first in, first out; each Prepare() runs its own sequence.
    void prepareCanBeScripted()
    {
        const Steps first{{PZ::PrepareChecking, QString()},
                          {PZ::PreparePending, QStringLiteral("downloading 10%")},
                          {PZ::PrepareFailed, QStringLiteral("disk full")}};
        const Steps second{{PZ::PrepareCancelled, QStringLiteral("later")}};
        PZ::PushScript(first);
        PZ::PushScript(second);
        QCOMPARE(Prepare(3), first);
        QCOMPARE(Prepare(1), second);
        PZ manager(PZ::SdkType_Kopkop);
        QSignalSpy spy(&manager, &PZ::SigPrepareStateChanged);
        manager.Prepare();
        manager.Prepare();  // not merged: two look-ups (failing, nothing is configured)
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 4, 10000);
    }
    // One compact key per declared property (not objectName); only a JSON object is read back.
    void jsonParser()
    {
        Sample sample, copy;
        sample.setObjectName(QStringLiteral("not in the JSON"));
        sample.raw = "b\"ytes";
        sample.extra = QJsonObject{{"ctrl", "alt+k"}};
        const QByteArray json("{\"extra\":{\"ctrl\":\"alt+k\"},\"raw\":\"b\\\"ytes\"}");
        QCOMPARE(sample.ToJson(), json);
        QVERIFY(copy.FromJson(json));
        QCOMPARE(copy.ToJson(), json);
        QVERIFY(!copy.FromJson("[1,2]"));
        QVERIFY(!copy.FromJson("not json"));
    }
};

QTEST_GUILESS_MAIN(TestServices)
#include "tst_services.moc"
