#pragma once

#include <QObject>
#include <QVector>

#include <functional>

// What the module's benchmark and the Qt-only alternative share: a client process that answers a
// status request ("ChangeStatus" with a number) with the same number, and a main thread that
// waits for answers in its event loop. Round trips, barriers and the idle cost are measured the
// same way for both.
//
// Lives on the main thread, with everything it drives.
class EndToEndBench : public QObject
{
    Q_OBJECT
public:
    struct Cost
    {
        double hostCpuSeconds = 0;
        double clientCpuSeconds = 0;
        qint64 hostSyscalls = -1;
        qint64 clientSyscalls = -1;
    };

    static constexpr int kWaitMs = 120000;

    explicit EndToEndBench(QObject* parent = nullptr);

    virtual qint64 ClientPid() const = 0;

    // Status request -> answer -> callback, one after the other: microseconds each.
    QVector<double> RoundTrips(int samples);
    // CPU seconds this process's threads other than the caller's use while the connected client
    // stays idle; the client's own in *clientCpuSeconds.
    double IdleCpuSeconds(int milliseconds, double* clientCpuSeconds);

    // Runs the event loop until done() holds or timeoutMs have passed; false on the time-out.
    static bool Pump(const std::function<bool()>& done, int timeoutMs);

protected:
    // Asks the client to answer with `status`.
    virtual void RequestStatus(int status) = 0;
    // The variant's callback calls this with every status the client reports.
    void StatusReported(int status);
    // One status request answered: the client answers in order, so it has read all sent before.
    // False when the answer did not come.
    bool Barrier();

private:
    int m_lastStatus = -1;
    int m_nextStatus = 1000;
    std::function<void(int)> m_onStatus;  // set while round trips run
};
