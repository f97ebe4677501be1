#pragma once

#include "VXFoundation/VXFoundationExport.h"

#include <QThread>

#include <atomic>

// A QThread that runs an event loop (QThread::run) and carries a name that the operating system
// shows (ps -L, top -H, gdb, /proc/<pid>/task/<tid>/comm). On Linux the kernel keeps at most 15
// characters of it, so "VXPipeSenderThread" appears as "VXPipeSenderThr"; the QThread's
// objectName keeps the whole name.
//
// Its event loop runs on VXEventDispatcher (POSIX), which wakes the thread once per burst of
// queued calls rather than once per call.
//
// SetThreadName may be called from any thread, before or after start().
class VXFOUNDATION_EXPORT VXThread : public QThread
{
    Q_OBJECT
public:
    explicit VXThread(QObject* parent = nullptr);
    ~VXThread() override;

    void SetThreadName(const QString& name);

protected:
    void run() override;

private:
    void ApplyOsName();

    // Set by run() (the new thread) and read by SetThreadName() (any thread).
    std::atomic<bool> m_osThreadKnown{false};
    Qt::HANDLE m_osThread = nullptr;  // written once before m_osThreadKnown becomes true
};
