#pragma once

// In-process recorders of what the host stand-ins were told: tracking events, monitor reports and
// log lines. Each registers an observer for its lifetime; records arrive on whatever thread
// produced them, so reads go through the recorder's lock.

#include "VXCore/VXCodeTracking.h"
#include "VXCore/VXMonitorSystem.h"
#include "VXFoundation/LogHelper.h"

#include <QList>
#include <QStringList>

#include <mutex>

template <typename Record, typename Source>
class Recorder
{
public:
    Recorder() { m_id = Source::AddObserverFor([this](const Record& r) { Append(r); }); }
    ~Recorder() { Source::RemoveObserverFor(m_id); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    QList<Record> Records() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records;
    }
    int Count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records.size();
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.clear();
    }

private:
    void Append(const Record& record)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.append(record);
    }

    mutable std::mutex m_mutex;
    QList<Record> m_records;
    int m_id = 0;
};

struct TrackingSource
{
    template <typename F> static int AddObserverFor(F f) { return VXCodeTracking::AddObserver(f); }
    static void RemoveObserverFor(int id) { VXCodeTracking::RemoveObserver(id); }
};
struct MonitorSource
{
    template <typename F> static int AddObserverFor(F f) { return VXMonitorSystem::AddObserver(f); }
    static void RemoveObserverFor(int id) { VXMonitorSystem::RemoveObserver(id); }
};
struct LogSource
{
    template <typename F> static int AddObserverFor(F f) { return LogHelper::AddListener(f); }
    static void RemoveObserverFor(int id) { LogHelper::RemoveListener(id); }
};

class TrackingRecorder : public Recorder<VXCodeTracking::Record, TrackingSource>
{
public:
    // The records with this event code, in order.
    QList<VXCodeTracking::Record> WithCode(const QString& code) const
    {
        QList<VXCodeTracking::Record> out;
        for (const auto& r : Records())
            if (r.code == code)
                out.append(r);
        return out;
    }
    QStringList Codes() const
    {
        QStringList out;
        for (const auto& r : Records())
            out.append(r.code);
        return out;
    }
};

class MonitorRecorder : public Recorder<VXMonitorSystem::Report, MonitorSource>
{
public:
    QStringList Names() const
    {
        QStringList out;
        for (const auto& r : Records())
            out.append(r.name);
        return out;
    }
};

class LogRecorder : public Recorder<LogHelper::Record, LogSource>
{
public:
    QStringList Texts() const
    {
        QStringList out;
        for (const auto& r : Records())
            out.append(r.text);
        return out;
    }
    // Log texts that end with `suffix` (the location prefix varies with line numbers).
    int CountEndingWith(const QString& suffix) const
    {
        int n = 0;
        for (const auto& r : Records())
            n += r.text.endsWith(suffix) ? 1 : 0;
        return n;
    }
};
