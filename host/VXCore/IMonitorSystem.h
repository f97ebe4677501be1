#pragma once

#include "VXCore/VXCoreExport.h"

#include <QString>
#include <QStringList>

// The host's monitor: named events with parameters, counted by the host's operations dashboard.
//
// GetMonitorSystem() returns the built-in VXMonitorSystem (a JSON-line file and in-process
// observers).
class VXCORE_EXPORT IMonitorSystem
{
public:
    virtual ~IMonitorSystem();

    static IMonitorSystem* GetMonitorSystem();

    // One event with nine text parameters; the result says whether it was recorded.
    virtual bool ReportEvent(const QString& name, const QString& p1, const QString& p2, const QString& p3,
                             const QString& p4, const QString& p5, const QString& p6, const QString& p7,
                             const QString& p8, const QString& p9) = 0;
    // One event with a list of parameters.
    virtual bool ReportEventList(const QString& name, const QStringList& params) = 0;
};
