#pragma once

#include "VXCore/VXCoreExport.h"

#include <QByteArray>
#include <QString>

#include <mutex>

// The host's global session data: who is logged in and which version of the host runs. The
// host sets the values; anyone reads them. Any thread may call any member.
class VXCORE_EXPORT VXGlobalData
{
public:
    // The host's single instance; created on first use, never destroyed.
    static VXGlobalData* Instance();

    QString GetPin() const;
    void SetPin(const QString& pin);
    QByteArray GetAppVersion() const;
    void SetAppVersion(const QByteArray& version);

private:
    VXGlobalData() = default;

    mutable std::mutex m_mutex;  // protects the values below
    QString m_pin;
    QByteArray m_appVersion;
};
