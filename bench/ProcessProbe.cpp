#include "ProcessProbe.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <malloc.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

qint64 ReadSchedstatNs(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().split(' ').value(0).toLongLong();
}

qint64 StatusFieldKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

}  // namespace

double ProcessProbe::SelfCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ProcessProbe::ThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double ProcessProbe::CpuSeconds(qint64 pid, qint64 tid)
{
    if (tid)
        return ReadSchedstatNs(QStringLiteral("/proc/%1/task/%2/schedstat").arg(pid).arg(tid)) / 1e9;
    qint64 total = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        total += ReadSchedstatNs(tasks + QLatin1Char('/') + task + QStringLiteral("/schedstat"));
    return total / 1e9;
}

QMap<qint64, double> ProcessProbe::OtherThreadsCpuSeconds()
{
    QMap<qint64, double> seconds;
    const qint64 pid = ::getpid();
    const qint64 self = CurrentThreadId();
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const qint64 tid = task.toLongLong();
        if (tid != self)
            seconds.insert(tid, CpuSeconds(pid, tid));
    }
    return seconds;
}

double ProcessProbe::OtherThreadsCpuSecondsSince(const QMap<qint64, double>& before)
{
    double total = 0;
    const QMap<qint64, double> now = OtherThreadsCpuSeconds();
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        total += qMax(0.0, it.value() - before.value(it.key(), 0.0));
    return total;
}

qint64 ProcessProbe::ResidentKiB()
{
    return StatusFieldKiB("VmRSS:");
}

qint64 ProcessProbe::PeakResidentKiB()
{
    return StatusFieldKiB("VmHWM:");
}

void ProcessProbe::ResetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

void ProcessProbe::ReleaseFreeMemory()
{
    malloc_trim(0);
}

qint64 ProcessProbe::CurrentThreadId()
{
    return qint64(::syscall(SYS_gettid));
}

SyscallCounter::SyscallCounter(qint64 pid, bool isThread)
{
    if (!IsAvailable())
        return;
    m_perf.reset(new QProcess);
    m_perf->setProgram(QStringLiteral("perf"));
    m_perf->setArguments({QStringLiteral("stat"), QStringLiteral("-x"), QStringLiteral(","), QStringLiteral("-e"),
                          QStringLiteral("raw_syscalls:sys_enter"), isThread ? QStringLiteral("-t") : QStringLiteral("-p"),
                          QString::number(pid)});
    m_perf->setProcessChannelMode(QProcess::SeparateChannels);
    m_perf->start();
    if (!m_perf->waitForStarted(5000)) {
        m_perf.reset();
        return;
    }
    // perf attaches within a moment of starting; its own start-up is not what we count.
    m_perf->waitForReadyRead(300);
}

SyscallCounter::~SyscallCounter()
{
    Stop();
}

qint64 SyscallCounter::Stop()
{
    if (!m_perf)
        return m_count;
    // perf prints its counts when interrupted. Only ever signal perf itself: a process id of 0
    // (perf already gone) would signal our whole process group.
    const qint64 perf = m_perf->processId();
    if (perf > 0 && m_perf->state() == QProcess::Running)
        ::kill(pid_t(perf), SIGINT);
    m_perf->waitForFinished(10000);
    const QString output = QString::fromUtf8(m_perf->readAllStandardError());
    m_perf.reset();
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^(\\d+),[^\\n]*raw_syscalls:sys_enter"), QRegularExpression::MultilineOption)
            .match(output);
    m_count = match.hasMatch() ? match.captured(1).toLongLong() : -1;
    return m_count;
}

bool SyscallCounter::IsAvailable()
{
    static const bool available = [] {
        if (QStandardPaths::findExecutable(QStringLiteral("perf")).isEmpty())
            return false;
        QProcess probe;
        probe.start(QStringLiteral("perf"), {QStringLiteral("stat"), QStringLiteral("-x"), QStringLiteral(","),
                                             QStringLiteral("-e"), QStringLiteral("raw_syscalls:sys_enter"),
                                             QStringLiteral("true")});
        if (!probe.waitForFinished(10000))
            return false;
        return probe.exitCode() == 0 &&
               QRegularExpression(QStringLiteral("^\\d+,")).match(QString::fromUtf8(probe.readAllStandardError())).hasMatch();
    }();
    return available;
}

bool ProcessProbe::WaitForExit(qint64 pid, int milliseconds)
{
    if (pid <= 0)
        return true;
    const int pidfd = int(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (pidfd < 0)
        return errno == ESRCH;  // already gone
    pollfd entry = {pidfd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, milliseconds);
    ::close(pidfd);
    return ready == 1;
}
