#include "VXFoundation/VXEventDispatcher.h"

#include "VXFoundation/VXThreadAnnotations.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

VXEventDispatcher::VXEventDispatcher(QObject* parent) : QAbstractEventDispatcher(parent)
{
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

VXEventDispatcher::~VXEventDispatcher()
{
    // Qt deletes a thread's dispatcher when the thread finishes, after any wakeUp() or interrupt()
    // still running in another thread has returned (QThread's own mutex orders them, invisibly
    // to ThreadSanitizer).
    VX_HAPPENS_AFTER(this);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool VXEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupted.store(false, std::memory_order_relaxed);
    emit awake();
    // A post after this point wakes the thread again; one before it is delivered right below.
    m_wakeUpPending.store(false, std::memory_order_seq_cst);
    QCoreApplication::sendPostedEvents();
    int handled = FireTimers();

    const bool mayWait = flags.testFlag(QEventLoop::WaitForMoreEvents);
    if (handled == 0 && mayWait && !m_interrupted.load(std::memory_order_relaxed)) {
        emit aboutToBlock();
        const bool notified = Wait(NextTimerTimeoutMs());
        emit awake();
        m_wakeUpPending.store(false, std::memory_order_seq_cst);
        QCoreApplication::sendPostedEvents();
        handled += FireTimers() + (notified ? 1 : 0);
    }
    return handled > 0;
}

bool VXEventDispatcher::Wait(int timeoutMs)
{
    std::vector<pollfd> fds;
    fds.reserve(size_t(m_notifiers.size()) + 1);
    fds.push_back({m_wakeFd, POLLIN, 0});
    for (QSocketNotifier* notifier : qAsConst(m_notifiers)) {
        short events = 0;
        switch (notifier->type()) {
        case QSocketNotifier::Read: events = POLLIN; break;
        case QSocketNotifier::Write: events = POLLOUT; break;
        case QSocketNotifier::Exception: events = POLLPRI; break;
        }
        fds.push_back({int(notifier->socket()), events, 0});
    }
    int ready;
    do {
        ready = ::poll(fds.data(), nfds_t(fds.size()), timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return false;
    if (fds[0].revents) {
        quint64 count;
        while (::read(m_wakeFd, &count, sizeof(count)) > 0) {
        }
    }
    // Notifiers may unregister themselves while activated: take a copy of who was ready first.
    QList<QSocketNotifier*> activated;
    for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents)
            activated.append(m_notifiers.value(int(i - 1)));
    }
    for (QSocketNotifier* notifier : qAsConst(activated)) {
        if (m_notifiers.contains(notifier)) {
            QEvent event(QEvent::SockAct);
            QCoreApplication::sendEvent(notifier, &event);
        }
    }
    return !activated.isEmpty();
}

bool VXEventDispatcher::hasPendingEvents()
{
    return m_wakeUpPending.load(std::memory_order_relaxed);
}

void VXEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier)
{
    if (!m_notifiers.contains(notifier))
        m_notifiers.append(notifier);
}

void VXEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    m_notifiers.removeAll(notifier);
}

void VXEventDispatcher::registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject* object)
{
    m_timers.insert(timerId, {timerId, interval, timerType, object, Clock::now() + std::chrono::milliseconds(interval)});
}

bool VXEventDispatcher::unregisterTimer(int timerId)
{
    return m_timers.remove(timerId) > 0;
}

bool VXEventDispatcher::unregisterTimers(QObject* object)
{
    bool any = false;
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->object == object) {
            it = m_timers.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> VXEventDispatcher::registeredTimers(QObject* object) const
{
    QList<TimerInfo> timers;
    for (const Timer& timer : m_timers) {
        if (timer.object == object)
            timers.append(TimerInfo(timer.id, timer.intervalMs, timer.type));
    }
    return timers;
}

int VXEventDispatcher::remainingTime(int timerId)
{
    const auto it = m_timers.constFind(timerId);
    if (it == m_timers.constEnd())
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(it->due - Clock::now()).count();
    return int(qMax<long long>(0, left));
}

int VXEventDispatcher::FireTimers()
{
    if (m_timers.isEmpty())
        return 0;
    const Clock::time_point now = Clock::now();
    QList<int> due;
    for (const Timer& timer : qAsConst(m_timers)) {
        if (timer.due <= now)
            due.append(timer.id);
    }
    int fired = 0;
    for (int id : qAsConst(due)) {
        auto it = m_timers.find(id);
        if (it == m_timers.end())
            continue;  // a timer event before this one stopped it
        QObject* object = it->object;
        // The next period starts now: a late timer fires once, not once per missed period.
        it->due = now + std::chrono::milliseconds(qMax(1, it->intervalMs));
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        ++fired;
    }
    return fired;
}

int VXEventDispatcher::NextTimerTimeoutMs() const
{
    if (m_timers.isEmpty())
        return -1;
    Clock::time_point next = Clock::time_point::max();
    for (const Timer& timer : m_timers)
        next = qMin(next, timer.due);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return int(qBound<long long>(0, left + 1, 24 * 3600 * 1000));
}

void VXEventDispatcher::SignalWakeFd()
{
    const quint64 one = 1;
    ssize_t written;
    do {
        written = ::write(m_wakeFd, &one, sizeof(one));
    } while (written < 0 && errno == EINTR);
}

void VXEventDispatcher::wakeUp()
{
    // Only the first post after the thread last woke pays for the system call.
    if (!m_wakeUpPending.exchange(true, std::memory_order_seq_cst))
        SignalWakeFd();
    VX_HAPPENS_BEFORE(this);
}

void VXEventDispatcher::interrupt()
{
    m_interrupted.store(true, std::memory_order_relaxed);
    // Not coalesced with posted events: the loop must notice even if a wake-up is pending.
    SignalWakeFd();
    VX_HAPPENS_BEFORE(this);
}

void VXEventDispatcher::flush() {}
