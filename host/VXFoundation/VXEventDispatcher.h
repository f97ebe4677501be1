#pragma once

#include "VXFoundation/VXFoundationExport.h"

#include <QAbstractEventDispatcher>
#include <QHash>
#include <QList>

#include <atomic>
#include <chrono>

class QSocketNotifier;

// A lean event dispatcher for worker threads that mostly receive queued calls (POSIX only).
//
// Posting an event to a thread wakes its dispatcher. The GLib-based dispatcher Qt uses by default
// on Linux writes to an eventfd for every posted event, so a thread that posts thousands of calls
// a second into a busy worker pays a system call (and often a futile wake-up) per call. This
// dispatcher coalesces: the first post after the worker went to sleep writes to the eventfd, later
// posts see a wake-up already pending and write nothing, and the worker drains every posted event
// each time it wakes. Timers and socket notifiers work as with any dispatcher.
//
// Threads. The dispatcher belongs to the thread it is installed on (QThread::setEventDispatcher
// before start()); every member runs there except wakeUp() and interrupt(), which any thread may
// call. m_wakeUpPending and m_interrupted are the only members other threads touch.
class VXFOUNDATION_EXPORT VXEventDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT
public:
    explicit VXEventDispatcher(QObject* parent = nullptr);
    ~VXEventDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    void registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;
    void flush() override;

private:
    using Clock = std::chrono::steady_clock;
    struct Timer
    {
        int id;
        int intervalMs;
        Qt::TimerType type;
        QObject* object;
        Clock::time_point due;
    };

    // Sends the timer events that are due; returns how many.
    int FireTimers();
    // Makes the wake-up descriptor readable (any thread).
    void SignalWakeFd();
    // Milliseconds until the next timer is due (-1: none).
    int NextTimerTimeoutMs() const;
    // Waits for a wake-up, a socket or the next timer; returns whether a socket notifier fired.
    bool Wait(int timeoutMs);

    int m_wakeFd = -1;
    std::atomic<bool> m_wakeUpPending{false};
    std::atomic<bool> m_interrupted{false};
    QHash<int, Timer> m_timers;
    QList<QSocketNotifier*> m_notifiers;
};
