#include "VXCore/VXGlobalData.h"

VXGlobalData* VXGlobalData::Instance()
{
    static VXGlobalData* instance = new VXGlobalData;
    return instance;
}

QString VXGlobalData::GetPin() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pin;
}

void VXGlobalData::SetPin(const QString& pin)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pin = pin;
}

QByteArray VXGlobalData::GetAppVersion() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_appVersion;
}

void VXGlobalData::SetAppVersion(const QByteArray& version)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_appVersion = version;
}
