#include "VXFoundation/VXThread.h"

#include "VXFoundation/VXEventDispatcher.h"
#include "VXFoundation/VXThreadAnnotations.h"

#if defined(Q_OS_UNIX)
#include <pthread.h>
#endif

VXThread::VXThread(QObject* parent) : QThread(parent)
{
#if defined(Q_OS_UNIX)
    // Queued calls into a worker arrive in bursts; this dispatcher wakes the thread once per
    // burst instead of once per call (see VXEventDispatcher).
    setEventDispatcher(new VXEventDispatcher);
#endif
}

VXThread::~VXThread()
{
    // Whoever deletes a finished thread has joined it (through Qt, which ThreadSanitizer cannot
    // see); everything the thread did comes before.
    VX_HAPPENS_AFTER(this);
    // An owner that forgets to stop its thread must not crash the process on destruction.
    if (isRunning()) {
        quit();
        wait();
    }
    // A finished thread's dispatcher was deleted as it finished (and reads back null); one that
    // never started still owns the dispatcher set in the constructor.
    delete eventDispatcher();
}

void VXThread::SetThreadName(const QString& name)
{
    setObjectName(name);
    if (m_osThreadKnown.load(std::memory_order_acquire))
        ApplyOsName();
}

void VXThread::run()
{
    m_osThread = QThread::currentThreadId();
    m_osThreadKnown.store(true, std::memory_order_release);
    ApplyOsName();
    QThread::run();
    VX_HAPPENS_BEFORE(this);
}

void VXThread::ApplyOsName()
{
#if defined(Q_OS_LINUX)
    const QByteArray name = objectName().toUtf8().left(15);
    if (!name.isEmpty())
        pthread_setname_np(reinterpret_cast<pthread_t>(m_osThread), name.constData());
#endif
}
