#include "VXFoundation/VXProcess.h"

#include <thread>

#if defined(Q_OS_LINUX)
#include <cerrno>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Collects the exit status of a program that VXProcess let go of. A pidfd names exactly that
// process, so a recycled pid can never make us reap somebody else's child; if Qt's own child
// handling reaps it first, the wait just fails. One short-lived thread per released program,
// blocked in the kernel until the program ends: no polling.
void ReapWhenItEnds(qint64 pid)
{
#if defined(Q_OS_LINUX)
    // Through syscall(): Debian 12's <sys/pidfd.h> lacks the C linkage a C++ caller needs.
    const int pidfd = int(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    std::thread([pid, pidfd] {
        if (pidfd >= 0) {
            siginfo_t info;
            while (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) < 0 && errno == EINTR) {
            }
            close(pidfd);
        } else {
            while (waitpid(static_cast<pid_t>(pid), nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }).detach();
#else
    Q_UNUSED(pid);
#endif
}

}  // namespace

VXProcess::VXProcess(QObject* parent) : QProcess(parent), m_processFlag(true)
{
    setProcessChannelMode(QProcess::ForwardedChannels);
    setStandardInputFile(QProcess::nullDevice());
}

VXProcess::~VXProcess()
{
    if (m_processFlag || state() == QProcess::NotRunning)
        return;  // QProcess's destructor stops a running program, as asked
    const qint64 pid = processId();
    // Telling QProcess the program is not running keeps its destructor from killing it; the
    // signals that change would emit are of no interest to anyone any more.
    blockSignals(true);
    setProcessState(QProcess::NotRunning);
    if (pid > 0)
        ReapWhenItEnds(pid);
}
