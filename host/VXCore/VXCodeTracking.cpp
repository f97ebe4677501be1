#include "VXCore/VXCodeTracking.h"

#include "VXFoundation/VXRecordSink.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

using Sink = VXRecordSink<VXCodeTracking::Record>;

Sink& State()
{
    static Sink* state = new Sink("VX_TRACKING_FILE");
    return *state;
}

void RecordEvent(const char* level, const QString& trackId, const QString& code, const QString& text, int value,
            const QString& extra, const QString& location)
{
    Sink& state = State();
    const bool active = state.writer.IsActive();
    const bool observed = !state.observers.IsEmpty();
    if (!active && !observed)
        return;
    const VXCodeTracking::Record record{QDateTime::currentDateTime(), QLatin1String(level), trackId, code, text,
                                        value, extra, location};
    if (active)
        state.writer.WriteLine(VXCodeTracking::ToJsonLine(record));
    if (observed)
        state.observers.Notify(record);
}

}  // namespace

void VXCodeTracking::Info(const QString& trackId, const QString& code, const QString& text, int value,
                          const QString& extra, const QString& location)
{
    RecordEvent("Info", trackId, code, text, value, extra, location);
}

void VXCodeTracking::Warn(const QString& trackId, const QString& code, const QString& text, int value,
                          const QString& extra, const QString& location)
{
    RecordEvent("Warn", trackId, code, text, value, extra, location);
}

void VXCodeTracking::Error(const QString& trackId, const QString& code, const QString& text, int value,
                           const QString& extra, const QString& location)
{
    RecordEvent("Error", trackId, code, text, value, extra, location);
}

bool VXCodeTracking::SetOutputFile(const QString& path) { return State().writer.SetFile(path); }
QString VXCodeTracking::GetOutputFile() { return State().writer.File(); }
int VXCodeTracking::AddObserver(Observer observer) { return State().observers.Add(std::move(observer)); }
void VXCodeTracking::RemoveObserver(int id) { State().observers.Remove(id); }

QByteArray VXCodeTracking::ToJsonLine(const Record& record)
{
    QJsonObject object;
    object.insert(QStringLiteral("time"), record.time.toString(Qt::ISODateWithMs));
    object.insert(QStringLiteral("level"), record.level);
    object.insert(QStringLiteral("id"), record.trackId);
    object.insert(QStringLiteral("code"), record.code);
    object.insert(QStringLiteral("text"), record.text);
    object.insert(QStringLiteral("value"), record.value);
    object.insert(QStringLiteral("extra"), record.extra);
    object.insert(QStringLiteral("location"), record.location);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
