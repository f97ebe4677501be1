#pragma once

#include "VXCore/ITcpManager.h"

#include <mutex>

// The built-in ITcpManager: holds the three login values the host sets. Any thread may call any
// member.
class VXCORE_EXPORT VXTcpManager : public ITcpManager
{
public:
    // The built-in instance, created on first use and never destroyed.
    static VXTcpManager* Default();

    QString GetLoginValue1() override;
    QString GetLoginValue2() override;
    QByteArray GetLoginBytes() override;

    void SetLoginValues(const QString& value1, const QString& value2, const QByteArray& bytes);

private:
    std::mutex m_mutex;  // protects the values below
    QString m_value1;
    QString m_value2;
    QByteArray m_bytes;
};
