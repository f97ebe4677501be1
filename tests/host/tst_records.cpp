// What the host is told can be read back: tracking events and monitor reports as JSON lines in
// the files the host names and in-process with their exact arguments, log lines with time,
// level, category and thread.

#include "Recorders.h"

#include "VXCore/IMonitorSystem.h"
#include "VXCore/VXCodeTracking.h"
#include "VXCore/VXMonitorSystem.h"
#include "VXFoundation/LogHelper.h"
#include "VXFoundation/VXThread.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QList<QJsonObject> ReadJsonLines(const QString& path)
{
    QList<QJsonObject> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    }
    return out;
}

QStringList ReadLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

}  // namespace

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void trackingRecordsReadBack_data();
    void trackingRecordsReadBack();
    void trackingFromSeveralThreadsKeepsWholeLines();
    void monitorReportsReadBack();
    void logLinesCarryTimeLevelCategoryAndThread();
    void getFileName_data();
    void getFileName();

private:
    QTemporaryDir m_dir;
};

void TestRecords::trackingRecordsReadBack_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("text");
    QTest::newRow("Info") << "Info" << "[\"OpenKKWindow\",\"s:pin\"]";
    QTest::newRow("Warn") << "Warn" << "kopkop could crashed";
    QTest::newRow("Error, non-ASCII and line break") << "Error" << "错误\nsecond line";
}

void TestRecords::trackingRecordsReadBack()
{
    QFETCH(QString, level);
    QFETCH(QString, text);
    const QString path = m_dir.filePath(QStringLiteral("tracking-%1.jsonl").arg(level));
    QVERIFY(VXCodeTracking::SetOutputFile(path));
    TrackingRecorder recorder;
    const QString location = QStringLiteral("VXPipeServer.cpp[42] VXPipeServer::InitPipe ");
    if (level == QLatin1String("Info"))
        VXCodeTracking::Info(QStringLiteral("370"), QStringLiteral("OpenKKWindow"), text, -99999, QString(), location);
    else if (level == QLatin1String("Warn"))
        VXCodeTracking::Warn(QStringLiteral("370"), QStringLiteral("startKopKopAgain"), text, -99999, QString(), location);
    else
        VXCodeTracking::Error(QStringLiteral("746"), QStringLiteral("PipeServerInitError"), text, -99999, QString(), location);
    QVERIFY(VXCodeTracking::SetOutputFile(QString()));

    QCOMPARE(recorder.Count(), 1);
    const VXCodeTracking::Record record = recorder.Records().first();
    QCOMPARE(record.level, level);
    QCOMPARE(record.text, text);
    QCOMPARE(record.value, -99999);
    QCOMPARE(record.extra, QString());
    QCOMPARE(record.location, location);

    const QList<QJsonObject> lines = ReadJsonLines(path);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].value("level").toString(), level);
    QCOMPARE(lines[0].value("id").toString(), record.trackId);
    QCOMPARE(lines[0].value("code").toString(), record.code);
    QCOMPARE(lines[0].value("text").toString(), text);
    QCOMPARE(lines[0].value("value").toInt(), -99999);
    QCOMPARE(lines[0].value("extra").toString(), QString());
    QCOMPARE(lines[0].value("location").toString(), location);
    QVERIFY(QDateTime::fromString(lines[0].value("time").toString(), Qt::ISODateWithMs).isValid());
}

void TestRecords::trackingFromSeveralThreadsKeepsWholeLines()
{
    const QString path = m_dir.filePath(QStringLiteral("threads.jsonl"));
    QVERIFY(VXCodeTracking::SetOutputFile(path));
    QList<QThread*> threads;
    for (int t = 0; t < 4; ++t) {
        threads.append(QThread::create([t] {
            for (int i = 0; i < 250; ++i)
                VXCodeTracking::Info(QStringLiteral("746"), QStringLiteral("T%1").arg(t), QString(500, QLatin1Char('x')),
                                     i, QString(), QString());
        }));
        threads.last()->start();
    }
    for (QThread* thread : threads) {
        QVERIFY(thread->wait(60000));
        delete thread;
    }
    QVERIFY(VXCodeTracking::SetOutputFile(QString()));
    const QList<QJsonObject> lines = ReadJsonLines(path);
    QCOMPARE(lines.size(), 1000);
    for (const QJsonObject& line : lines)
        QCOMPARE(line.value("text").toString().size(), 500);  // no line torn by another
}

void TestRecords::monitorReportsReadBack()
{
    const QString path = m_dir.filePath(QStringLiteral("monitor.jsonl"));
    QVERIFY(VXMonitorSystem::SetOutputFile(path));
    MonitorRecorder recorder;
    IMonitorSystem* monitor = IMonitorSystem::GetMonitorSystem();
    QVERIFY(monitor);
    const QString e;
    QVERIFY(monitor->ReportEvent(QStringLiteral("kopkopPV"), e, e, e, e, e, e, e, e, e));
    QVERIFY(monitor->ReportEventList(QStringLiteral("Home_Kk_Crash"), QStringList()));
    QVERIFY(VXMonitorSystem::SetOutputFile(QString()));

    QCOMPARE(recorder.Names(), QStringList({"kopkopPV", "Home_Kk_Crash"}));
    QCOMPARE(recorder.Records().at(0).params, QStringList(QVector<QString>(9).toList()));
    QCOMPARE(recorder.Records().at(0).isList, false);
    QCOMPARE(recorder.Records().at(1).params, QStringList());
    QCOMPARE(recorder.Records().at(1).isList, true);
    const QList<QJsonObject> lines = ReadJsonLines(path);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0].value("event").toString(), QStringLiteral("kopkopPV"));
    QCOMPARE(lines[0].value("params").toArray().size(), 9);
    QCOMPARE(lines[1].value("event").toString(), QStringLiteral("Home_Kk_Crash"));
    QCOMPARE(lines[1].value("kind").toString(), QStringLiteral("list"));
}

void TestRecords::logLinesCarryTimeLevelCategoryAndThread()
{
    const QString path = m_dir.filePath(QStringLiteral("host.log"));
    QVERIFY(LogHelper::SetLogFile(path));
    QCOMPARE(LogHelper::GetLogFile(), path);
    LogRecorder recorder;
    LogHelper::Info(QStringLiteral("main"), QStringLiteral("VXKopkopManager.cpp[10] VXKopkopManager::Login Login"));
    VXThread thread;
    thread.SetThreadName(QStringLiteral("LoggingThread"));
    QObject::connect(&thread, &QThread::started, [] {
        LogHelper::Trace(QStringLiteral("main"), QStringLiteral("from a worker, 100% done"));
    });
    thread.start();
    thread.quit();
    QVERIFY(thread.wait(20000));
    QVERIFY(LogHelper::SetLogFile(QString()));

    const QStringList lines = ReadLines(path);
    QCOMPARE(lines.size(), 2);
    const QRegularExpression shape(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (INFO |TRACE) \\[main\\] \\[tid \\d+( \\S+)?\\] (.*)$"));
    QVERIFY2(shape.match(lines[0]).hasMatch(), qPrintable(lines[0]));
    QVERIFY(lines[0].contains(QStringLiteral(" INFO  [main]")));
    QVERIFY(lines[0].endsWith(QStringLiteral("VXKopkopManager::Login Login")));
    QVERIFY2(shape.match(lines[1]).hasMatch(), qPrintable(lines[1]));
    QVERIFY(lines[1].contains(QStringLiteral(" TRACE [main]")));
    QVERIFY(lines[1].contains(QStringLiteral(" LoggingThread] from a worker, 100% done")));
    QCOMPARE(recorder.Count(), 2);
    QCOMPARE(recorder.Records().at(1).level, LogHelper::LevelTrace);
}

void TestRecords::getFileName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::newRow("unix") << "/work/main/PlatformKKWrapper/VXKopkopManager.cpp" << "VXKopkopManager.cpp";
    QTest::newRow("windows") << "D:\\src\\PlatformKKWrapper\\VXPipeServer.cpp" << "VXPipeServer.cpp";
    QTest::newRow("mixed") << "a/b\\c.cpp" << "c.cpp";
    QTest::newRow("bare") << "main.cpp" << "main.cpp";
    QTest::newRow("empty") << "" << "";
}

void TestRecords::getFileName()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QCOMPARE(LogHelper::GetFileName(path), name);
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
