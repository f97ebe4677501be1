// What the host is told, read back: tracking events and monitor reports as JSON lines (flushed,
// never torn by another thread) and in-process; log lines with time, level, category and thread.

#include "Recorders.h"

#include "VXCore/IMonitorSystem.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {

// The lines of a file that may still be open for writing: what it holds has been flushed.
QList<QByteArray> ReadLines(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
}

QJsonObject Json(const QByteArray& line) { return QJsonDocument::fromJson(line).object(); }
QString Iso(const QDateTime& time) { return time.toString(Qt::ISODateWithMs); }

}  // namespace

class TestRecords : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    // Each level's record, in-process with its exact arguments and as one JSON line.
    void trackingRecords()
    {
        const QString path = m_dir.filePath(QStringLiteral("tracking.jsonl"));
        QVERIFY(VXCodeTracking::SetOutputFile(path));
        TrackingRecorder recorder;
        const QList<QStringList> calls{{"Info", "370", "OpenKKWindow", R"(["A","s:pin"])", "", "at"},
                                       {"Warn", "371", "startKopKopAgain", "错误\nsecond line", "x", ""},
                                       {"Error", "746", "PipeServerInitError", "", "", "VXPipeServer.cpp[42]"}};
        const decltype(&VXCodeTracking::Info) record[] = {&VXCodeTracking::Info, &VXCodeTracking::Warn,
                                                          &VXCodeTracking::Error};
        for (int i = 0; i < 3; ++i)
            record[i](calls[i][1], calls[i][2], calls[i][3], -99999 + i, calls[i][4], calls[i][5]);
        const QList<QByteArray> lines = ReadLines(path);
        QVERIFY(VXCodeTracking::SetOutputFile(QString()));
        QCOMPARE(recorder.Count(), 3);
        QCOMPARE(lines.size(), 4);  // and nothing after the last line break
        for (int i = 0; i < 3; ++i) {
            const VXCodeTracking::Record r = recorder.Records().at(i);
            QCOMPARE(QStringList({r.level, r.trackId, r.code, r.text, r.extra, r.location}), calls[i]);
            QCOMPARE(r.value, -99999 + i);
            QCOMPARE(Json(lines[i]), (QJsonObject{{"level", r.level}, {"id", r.trackId}, {"code", r.code},
                                                  {"text", r.text}, {"value", r.value}, {"extra", r.extra},
                                                  {"location", r.location}, {"time", Iso(r.time)}}));
        }
    }
    void trackingFromSeveralThreadsKeepsWholeLines()
    {
        const QString path = m_dir.filePath(QStringLiteral("threads.jsonl"));
        QVERIFY(VXCodeTracking::SetOutputFile(path));
        QList<QThread*> threads;
        for (int t = 0; t < 8; ++t) {
            threads.append(QThread::create([] {
                for (int i = 0; i < 500; ++i)
                    VXCodeTracking::Info(QString(), QString(), QString(100, QLatin1Char('x')), i, {}, {});
            }));
            threads.last()->start();
        }
        for (QThread* thread : threads)
            QVERIFY(thread->wait(60000));
        qDeleteAll(threads);
        const QList<QByteArray> lines = ReadLines(path);
        QVERIFY(VXCodeTracking::SetOutputFile(QString()));
        QCOMPARE(lines.size(), 4001);  // and nothing after the last line break
        for (const QByteArray& line : lines.mid(0, 4000))
            QCOMPARE(Json(line).value("text").toString().size(), 100);  // no line torn by another
    }
    void monitorReports()
    {
        const QString path = m_dir.filePath(QStringLiteral("monitor.jsonl"));
        QVERIFY(VXMonitorSystem::SetOutputFile(path));
        MonitorRecorder recorder;
        const QStringList nine{"1", "2", "3", "4", "5", "6", "7", "8", "9"};
        IMonitorSystem* monitor = IMonitorSystem::GetMonitorSystem();
        QVERIFY(monitor->ReportEvent(QStringLiteral("kopkopPV"), "1", "2", "3", "4", "5", "6", "7", "8", "9"));
        QVERIFY(monitor->ReportEventList(QStringLiteral("Home_Kk_Crash"), {"a"}));
        const QList<QByteArray> lines = ReadLines(path);
        QVERIFY(VXMonitorSystem::SetOutputFile(QString()));
        const auto r = recorder.Records();
        QCOMPARE(r.size(), 2);
        QCOMPARE(QVariantList({r[0].name, r[0].isList, r[0].params, r[1].name, r[1].isList, r[1].params}),
                 QVariantList({"kopkopPV", false, nine, "Home_Kk_Crash", true, QStringList{"a"}}));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(Json(lines[0]), (QJsonObject{{"event", "kopkopPV"}, {"kind", "event"},
                                              {"params", QJsonArray::fromStringList(nine)}, {"time", Iso(r[0].time)}}));
        QCOMPARE(Json(lines[1]), (QJsonObject{{"event", "Home_Kk_Crash"}, {"kind", "list"}, {"params", QJsonArray{"a"}},
                                              {"time", Iso(r[1].time)}}));
    }
    void logLines()
    {
        const QString path = m_dir.filePath(QStringLiteral("host.log"));
        QVERIFY(LogHelper::SetLogFile(path));
        LogRecorder recorder;
        LogHelper::Info(QStringLiteral("main"), QStringLiteral("Login"));
        std::unique_ptr<QThread> thread(QThread::create([] { LogHelper::Trace("cat", QStringLiteral("100%")); }));
        thread->setObjectName(QStringLiteral("LoggingThread"));
        thread->start();
        QVERIFY(thread->wait(20000));
        const QList<QByteArray> lines = ReadLines(path);
        QVERIFY(LogHelper::SetLogFile(QString()));
        const auto r = recorder.Records();
        QCOMPARE(r.size(), 2);
        QCOMPARE(lines.join('\n'), (LogHelper::FormatLine(r[0]) + '\n' + LogHelper::FormatLine(r[1]) + '\n').toUtf8());
        const QRegularExpression shape(QStringLiteral(
            R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} INFO  \[main\] \[tid \d+( \S+)?\] Login$)"));
        QVERIFY2(shape.match(QString::fromUtf8(lines[0])).hasMatch(), lines[0].constData());
        QVERIFY(lines[1].contains(" TRACE [cat] [tid ") && lines[1].endsWith(" LoggingThread] 100%"));
    }
    void getFileName()
    {
        for (const char* path : {"/a/Name.cpp", "D:\\src\\Name.cpp", "a\\b/Name.cpp", "a/b\\Name.cpp", "Name.cpp"})
            QCOMPARE(LogHelper::GetFileName(QLatin1String(path)), QStringLiteral("Name.cpp"));
        QCOMPARE(LogHelper::GetFileName(QString()), QString());
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
