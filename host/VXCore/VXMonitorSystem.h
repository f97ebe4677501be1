#pragma once

#include "VXCore/IMonitorSystem.h"

#include <QDateTime>

#include <functional>

// The built-in monitor. Each report is appended as one JSON line to the file the host names
// (SetOutputFile, or the VX_MONITOR_FILE environment variable until the host says otherwise):
//
//   {"event":"Home_Kk_Crash","kind":"list","params":[],"time":"2026-12-05T18:25:54.123+01:00"}
//
// ("kind" is "event" for ReportEvent with its nine parameters, "list" for ReportEventList) and
// handed to every observer in-process. Any thread may report, observe and configure.
class VXCORE_EXPORT VXMonitorSystem : public IMonitorSystem
{
public:
    struct Report
    {
        QDateTime time;
        QString name;
        bool isList;  // ReportEventList rather than ReportEvent
        QStringList params;
    };
    using Observer = std::function<void(const Report&)>;

    // The built-in instance, created on first use and never destroyed.
    static VXMonitorSystem* Default();

    bool ReportEvent(const QString& name, const QString& p1, const QString& p2, const QString& p3,
                     const QString& p4, const QString& p5, const QString& p6, const QString& p7,
                     const QString& p8, const QString& p9) override;
    bool ReportEventList(const QString& name, const QStringList& params) override;

    static bool SetOutputFile(const QString& path);
    static int AddObserver(Observer observer);
    static void RemoveObserver(int id);

private:
    VXMonitorSystem() = default;
    bool Record(const Report& report);
};
