#pragma once

#include <QString>

// The module's tracking events. Every event the module records has no numeric value (-99999) and
// no extra text, so these take only what differs: track id, code, text and where
// (KK_LOCATION). Any thread, like VXCodeTracking.
namespace KKTracking {

constexpr int kNoValue = -99999;

void Info(const QString& trackId, const QString& code, const QString& text, const QString& location);
void Warn(const QString& trackId, const QString& code, const QString& text, const QString& location);
void Error(const QString& trackId, const QString& code, const QString& text, const QString& location);

}  // namespace KKTracking
