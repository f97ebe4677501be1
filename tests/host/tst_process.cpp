// VXProcess with real child processes: a program may outlive its VXProcess without leaving a
// zombie, the default still stops it, and start failures and crashes are reported.

#include "VXFoundation/VXProcess.h"

#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

namespace {

// 'R', 'S', 'Z', ... from /proc/<pid>/stat, or 0 when the process no longer exists (reaped).
char ProcessState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close >= 0 && close + 2 < line.size() ? line.at(close + 2) : 0;
}

}  // namespace

class TestProcess : public QObject
{
    Q_OBJECT

private slots:
    void flagIsTheFirstOwnMember();
    void programOutlivesObjectAndLeavesNoZombie_data();
    void programOutlivesObjectAndLeavesNoZombie();
    void defaultStopsProgramWithObject();
    void reportsFailureToStart_data();
    void reportsFailureToStart();
    void reportsCrashWhileOwned();
};

void TestProcess::flagIsTheFirstOwnMember()
{
    VXProcess process;
    const char* base = reinterpret_cast<const char*>(static_cast<QProcess*>(&process));
    QCOMPARE(reinterpret_cast<const char*>(&process.m_processFlag) - base, qptrdiff(sizeof(QProcess)));
    QCOMPARE(sizeof(process.m_processFlag), size_t(1));
    QCOMPARE(process.m_processFlag, true);
}

void TestProcess::programOutlivesObjectAndLeavesNoZombie_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("program killed later") << true;
    QTest::newRow("program ends by itself later") << false;
}

void TestProcess::programOutlivesObjectAndLeavesNoZombie()
{
    QFETCH(bool, killed);
    auto* process = new VXProcess;
    process->m_processFlag = false;
    process->setProgram(QStringLiteral("/bin/sleep"));
    process->setArguments({killed ? QStringLiteral("60") : QStringLiteral("1")});
    process->start(QIODevice::ReadWrite);
    QVERIFY(process->waitForStarted(10000));
    const qint64 pid = process->processId();
    delete process;

    const char state = ProcessState(pid);
    QVERIFY2(state == 'S' || state == 'R', "the program must still run after its VXProcess is gone");
    if (killed)
        QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
    // Reaped: not even a zombie remains.
    QTRY_COMPARE_WITH_TIMEOUT(ProcessState(pid), char(0), 20000);
}

void TestProcess::defaultStopsProgramWithObject()
{
    auto* process = new VXProcess;
    process->setProgram(QStringLiteral("/bin/sleep"));
    process->setArguments({QStringLiteral("60")});
    process->start();
    QVERIFY(process->waitForStarted(10000));
    const qint64 pid = process->processId();
    delete process;
    QTRY_COMPARE_WITH_TIMEOUT(ProcessState(pid), char(0), 20000);
}

void TestProcess::reportsFailureToStart_data()
{
    QTest::addColumn<bool>("flag");
    QTest::newRow("owned") << true;
    QTest::newRow("released on delete") << false;
}

void TestProcess::reportsFailureToStart()
{
    QFETCH(bool, flag);
    VXProcess process;
    process.m_processFlag = flag;
    QSignalSpy errors(&process, &QProcess::errorOccurred);
    process.setProgram(QStringLiteral("/nonexistent/kopkop"));
    process.start(QIODevice::ReadWrite);
    QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 20000);
    QCOMPARE(errors.at(0).at(0).value<QProcess::ProcessError>(), QProcess::FailedToStart);
}

void TestProcess::reportsCrashWhileOwned()
{
    VXProcess process;
    process.m_processFlag = false;
    QSignalSpy errors(&process, &QProcess::errorOccurred);
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments({QStringLiteral("-c"), QStringLiteral("kill -SEGV $$")});
    process.start();
    QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 20000);
    QCOMPARE(errors.at(0).at(0).value<QProcess::ProcessError>(), QProcess::Crashed);
}

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
