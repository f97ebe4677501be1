#include "VXCore/VXTcpManager.h"

VXTcpManager* VXTcpManager::Default()
{
    static VXTcpManager* instance = new VXTcpManager;
    return instance;
}

QString VXTcpManager::GetLoginValue1()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_value1;
}

QString VXTcpManager::GetLoginValue2()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_value2;
}

QByteArray VXTcpManager::GetLoginBytes()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

void VXTcpManager::SetLoginValues(const QString& value1, const QString& value2, const QByteArray& bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_value1 = value1;
    m_value2 = value2;
    m_bytes = bytes;
}
