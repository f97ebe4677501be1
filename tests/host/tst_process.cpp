// VXProcess with real child processes: the default stops the program with the object, a released
// one runs on and is reaped, and until deletion errors are reported as by any QProcess.

#include "VXFoundation/VXProcess.h"

#include <QSignalSpy>
#include <QtTest>
#include <csignal>

namespace {

// 'R', 'S', 'Z', ... from /proc/<pid>/stat, or 0 once the process is gone (reaped).
char ProcessState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    const int close = line.lastIndexOf(')');  // the program's name before it may hold anything
    return close >= 0 && close + 2 < line.size() ? line.at(close + 2) : 0;
}

}  // namespace

class TestProcess : public QObject
{
    Q_OBJECT

private slots:
    void deletingTheObject_data()
    {
        QTest::addColumn<bool>("release");
        QTest::addColumn<bool>("kill");
        QTest::newRow("owned: stopped with it") << false << false;
        QTest::newRow("released, killed later") << true << true;
        QTest::newRow("released, ends by itself later") << true << false;
    }
    void deletingTheObject()
    {
        QFETCH(bool, release);
        QFETCH(bool, kill);
        auto* process = new VXProcess;
        // The host framework reads the flag right after the QProcess part of the object.
        const auto* base = reinterpret_cast<const char*>(static_cast<QProcess*>(process));
        QCOMPARE(reinterpret_cast<const char*>(&process->m_processFlag) - base, qptrdiff(sizeof(QProcess)));
        QVERIFY(process->m_processFlag);
        process->m_processFlag = !release;
        process->start(QStringLiteral("/bin/sleep"), {release && !kill ? QStringLiteral("1") : QStringLiteral("60")});
        QVERIFY(process->waitForStarted(10000));
        const qint64 pid = process->processId();
        delete process;
        QVERIFY2(!release || QByteArray("RS").contains(ProcessState(pid)), "a released program outlives its VXProcess");
        if (kill)
            QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
        QTRY_COMPARE_WITH_TIMEOUT(ProcessState(pid), char(0), 20000);  // not even a zombie remains
    }
    void reportsErrorsWhileOwned()
    {
        for (const auto& c : {qMakePair(QStringList{"/nonexistent/kopkop"}, QProcess::FailedToStart),
                              qMakePair(QStringList{"/bin/sh", "-c", "kill -SEGV $$"}, QProcess::Crashed)}) {
            VXProcess process;
            process.m_processFlag = false;  // released only on deletion
            QSignalSpy errors(&process, &QProcess::errorOccurred);
            process.start(c.first.first(), c.first.mid(1));
            QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 20000);
            QCOMPARE(errors.at(0).at(0).value<QProcess::ProcessError>(), c.second);
        }
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
