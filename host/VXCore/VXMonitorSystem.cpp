#include "VXCore/VXMonitorSystem.h"

#include "VXFoundation/VXRecordSink.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

using Sink = VXRecordSink<VXMonitorSystem::Report>;

Sink& State()
{
    static Sink* state = new Sink("VX_MONITOR_FILE");
    return *state;
}

}  // namespace

VXMonitorSystem* VXMonitorSystem::Default()
{
    static VXMonitorSystem* instance = new VXMonitorSystem;
    return instance;
}

bool VXMonitorSystem::ReportEvent(const QString& name, const QString& p1, const QString& p2, const QString& p3,
                                  const QString& p4, const QString& p5, const QString& p6, const QString& p7,
                                  const QString& p8, const QString& p9)
{
    return Record({QDateTime::currentDateTime(), name, false, {p1, p2, p3, p4, p5, p6, p7, p8, p9}});
}

bool VXMonitorSystem::ReportEventList(const QString& name, const QStringList& params)
{
    return Record({QDateTime::currentDateTime(), name, true, params});
}

bool VXMonitorSystem::SetOutputFile(const QString& path) { return State().writer.SetFile(path); }
int VXMonitorSystem::AddObserver(Observer observer) { return State().observers.Add(std::move(observer)); }
void VXMonitorSystem::RemoveObserver(int id) { State().observers.Remove(id); }

bool VXMonitorSystem::Record(const Report& report)
{
    Sink& state = State();
    if (state.writer.IsActive()) {
        QJsonObject object;
        object.insert(QStringLiteral("time"), report.time.toString(Qt::ISODateWithMs));
        object.insert(QStringLiteral("event"), report.name);
        object.insert(QStringLiteral("kind"), report.isList ? QStringLiteral("list") : QStringLiteral("event"));
        object.insert(QStringLiteral("params"), QJsonArray::fromStringList(report.params));
        state.writer.WriteLine(QJsonDocument(object).toJson(QJsonDocument::Compact));
    }
    state.observers.Notify(report);
    return true;
}
