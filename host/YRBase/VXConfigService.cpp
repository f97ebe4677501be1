#include "YRBase/VXConfigService.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cmath>

QString VXConfigService::PathFromEnvironment()
{
    return qEnvironmentVariable("VX_HOST_CONFIG");
}

VXConfigService::VXConfigService(const QString& path, QObject* parent) : QObject(parent), m_path(path) {}

VXConfigService::~VXConfigService() = default;

QString VXConfigService::GetFilePath() const
{
    return m_path;
}

QJsonObject VXConfigService::CurrentValues()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const QFileInfo info(m_path);
    const QDateTime modified = info.exists() ? info.lastModified() : QDateTime();
    const qint64 size = info.exists() ? info.size() : -1;
    if (!m_everRead || modified != m_readModified || size != m_readSize) {
        m_everRead = true;
        m_readModified = modified;
        m_readSize = size;
        m_values = QJsonObject();
        m_loaded = false;
        QFile file(m_path);
        if (!m_path.isEmpty() && file.open(QIODevice::ReadOnly)) {
            const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
            if (document.isObject()) {
                m_values = document.object();
                m_loaded = true;
            }
        }
    }
    return m_values;
}

bool VXConfigService::GetBoolValue(const QString& key, bool defaultValue)
{
    const QJsonValue value = CurrentValues().value(key);
    if (value.isBool())
        return value.toBool();
    if (value.isString()) {
        const QString text = value.toString().trimmed().toLower();
        if (text == QLatin1String("true") || text == QLatin1String("1"))
            return true;
        if (text == QLatin1String("false") || text == QLatin1String("0"))
            return false;
    }
    if (value.isDouble()) {
        if (value.toDouble() == 1)
            return true;
        if (value.toDouble() == 0)
            return false;
    }
    return defaultValue;
}

QString VXConfigService::GetStringValue(const QString& key, const QString& defaultValue)
{
    const QJsonValue value = CurrentValues().value(key);
    if (value.isString())
        return value.toString();
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isDouble()) {
        // Whole numbers as integers: the default format would write 134217728 as 1.34218e+08.
        const double number = value.toDouble();
        if (number == std::floor(number) && std::fabs(number) < 9007199254740992.0)
            return QString::number(qint64(number));
        return QString::number(number, 'g', 17);
    }
    return defaultValue;
}

bool VXConfigService::IsLoaded()
{
    CurrentValues();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_loaded;
}
