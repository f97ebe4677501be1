#pragma once

#include "YRBase/IConfigService.h"
#include "YRBase/YRBaseExport.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>

#include <mutex>

// The host configuration service: reads a JSON object from a file the host names, for example
//
//     { "pc_start_kk_use_vxprocess_switch": true,
//       "kopkop_executable": "/opt/kopkop/bin/kopkop" }
//
// Bools are JSON true/false; the texts "true"/"false" and the numbers 1/0 are accepted too.
// Numbers read as text come out as written: whole numbers without a fraction or exponent.
// The file is read again whenever it has changed since the last read (its modification time
// or size differ), so a host can edit it while running. A missing or unreadable file counts as
// an empty configuration; every lookup then returns its default.
//
// The host creates the service and registers it with YRRouterProtocol::Register under
// "vx://config/object/service". Lookups may come from any thread.
class YRBASE_EXPORT VXConfigService : public QObject, public IConfigService
{
    Q_OBJECT
public:
    // The file named by the VX_HOST_CONFIG environment variable (empty if it is not set).
    static QString PathFromEnvironment();

    explicit VXConfigService(const QString& path, QObject* parent = nullptr);
    ~VXConfigService() override;

    QString GetFilePath() const;
    bool GetBoolValue(const QString& key, bool defaultValue) override;
    QString GetStringValue(const QString& key, const QString& defaultValue) override;
    // Whether the last read found a JSON object in the file.
    bool IsLoaded();

private:
    QJsonObject CurrentValues();

    const QString m_path;
    std::mutex m_mutex;  // protects the cached values and what they were read from
    QJsonObject m_values;
    bool m_loaded = false;
    bool m_everRead = false;
    QDateTime m_readModified;
    qint64 m_readSize = -1;
};
