#include "EndToEndBench.h"

#include "ProcessProbe.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMap>
#include <QTimer>

EndToEndBench::EndToEndBench(QObject* parent) : QObject(parent) {}

bool EndToEndBench::Pump(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    // One timer at the deadline, only so that a silent event loop still returns then; nothing
    // wakes this thread meanwhile, so the idle measurement sees the measured threads alone.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);  // a coarse timer may fire early, and would not again
    deadline.start(timeoutMs);
    while (!done()) {
        if (clock.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void EndToEndBench::StatusReported(int status)
{
    m_lastStatus = status;
    if (m_onStatus)
        m_onStatus(status);
}

bool EndToEndBench::Barrier()
{
    const int id = ++m_nextStatus;
    RequestStatus(id);
    return Pump([&] { return m_lastStatus == id; }, kWaitMs);
}

QVector<double> EndToEndBench::RoundTrips(int samples)
{
    QVector<double> results;
    results.reserve(samples);
    QElapsedTimer clock;
    int expected = 0;
    const auto send = [&] {
        expected = ++m_nextStatus;
        clock.start();
        RequestStatus(expected);
    };
    m_onStatus = [&](int status) {
        if (status != expected)
            return;
        results.append(clock.nsecsElapsed() / 1000.0);
        if (results.size() < samples)
            send();
    };
    send();
    Pump([&] { return results.size() >= samples; }, kWaitMs);
    m_onStatus = nullptr;
    return results;
}

double EndToEndBench::IdleCpuSeconds(int milliseconds, double* clientCpuSeconds)
{
    const QMap<qint64, double> host0 = ProcessProbe::OtherThreadsCpuSeconds();
    const double client0 = ProcessProbe::CpuSeconds(ClientPid());
    Pump([] { return false; }, milliseconds);
    if (clientCpuSeconds)
        *clientCpuSeconds = ProcessProbe::CpuSeconds(ClientPid()) - client0;
    return ProcessProbe::OtherThreadsCpuSecondsSince(host0);
}
