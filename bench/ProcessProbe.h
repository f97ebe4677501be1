#pragma once

#include <QMap>
#include <QProcess>
#include <QString>

#include <memory>

// What a process costs: CPU time, peak memory, and (where the machine allows it) the number of
// system calls it makes, counted by `perf stat` on the tracepoint raw_syscalls:sys_enter.
class ProcessProbe
{
public:
    // CPU time (user + system) of this process so far, from getrusage.
    static double SelfCpuSeconds();
    // CPU time of the calling thread so far.
    static double ThreadCpuSeconds();
    // CPU time of another process (or of one thread, with `tid`), from its schedstat files.
    static double CpuSeconds(qint64 pid, qint64 tid = 0);
    // CPU time of each of this process's threads other than the calling one, by thread id.
    static QMap<qint64, double> OtherThreadsCpuSeconds();
    // What the threads other than the calling one have used since `before` was taken: the module's
    // own threads, while the caller (the benchmark's event loop) just waits. Thread by thread, so a
    // thread that ends meanwhile cannot make the figure negative (it takes its time with it).
    static double OtherThreadsCpuSecondsSince(const QMap<qint64, double>& before);
    // This process's resident set and its peak, in KiB; ResetPeak() makes the peak start again
    // from the current size.
    static qint64 ResidentKiB();
    static qint64 PeakResidentKiB();
    static void ResetPeak();
    // Gives freed heap memory back to the system, so that what a measurement allocates next shows
    // in the resident size whatever ran before it.
    static void ReleaseFreeMemory();
    static qint64 CurrentThreadId();
    // Waits (in poll on a pidfd, no polling loop) until the process has ended, at most
    // `milliseconds`; true when it has. Launch samples wait for the previous client to be gone so
    // that its teardown does not run alongside the next launch.
    static bool WaitForExit(qint64 pid, int milliseconds);
};

// Counts the system calls of a process (or of one thread) while it exists. Unavailable (Count()
// returns -1) when perf is missing or the kernel refuses the tracepoint.
class SyscallCounter
{
public:
    explicit SyscallCounter(qint64 pid, bool isThread = false);
    ~SyscallCounter();
    // Stops counting and returns the count, or -1.
    qint64 Stop();

    static bool IsAvailable();

private:
    std::unique_ptr<QProcess> m_perf;
    qint64 m_count = -1;
};
