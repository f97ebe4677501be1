#pragma once

#include "YRBase/YRBaseExport.h"

#include <QString>

// The host's configuration, looked up through the router under "vx://config/object/service".
// The registered object is a QObject that also derives from this class; callers reach this
// interface with dynamic_cast.
class YRBASE_EXPORT IConfigService
{
public:
    virtual ~IConfigService();

    // The value of `key`, or `defaultValue` if the key is missing or not a bool.
    virtual bool GetBoolValue(const QString& key, bool defaultValue) = 0;
    // The value of `key` as text, or `defaultValue` if the key is missing.
    virtual QString GetStringValue(const QString& key, const QString& defaultValue) = 0;
};
