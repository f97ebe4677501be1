#include "PlatformKKWrapper/KKTracking.h"

#include "VXCore/VXCodeTracking.h"

namespace KKTracking {

void Info(const QString& trackId, const QString& code, const QString& text, const QString& location)
{
    VXCodeTracking::Info(trackId, code, text, kNoValue, QString(), location);
}

void Warn(const QString& trackId, const QString& code, const QString& text, const QString& location)
{
    VXCodeTracking::Warn(trackId, code, text, kNoValue, QString(), location);
}

void Error(const QString& trackId, const QString& code, const QString& text, const QString& location)
{
    VXCodeTracking::Error(trackId, code, text, kNoValue, QString(), location);
}

}  // namespace KKTracking
