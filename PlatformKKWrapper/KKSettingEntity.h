#pragma once

#include "PlatformKKWrapper/PlatformKKWrapperExport.h"
#include "VXFoundation/IJsonParser.h"

#include <QJsonValue>
#include <QString>

// A settings change for the chat client. hotKey, shortcut and proxy hold whatever JSON value the
// host passes (object, array, text, number, bool; JSON null by default); the module does not
// look inside them. Its JSON (ToJson) has the keys "hotKey", "shortcut", "proxy", "skinName",
// "merge". A value object; not thread-safe.
class PLATFORMKKWRAPPER_EXPORT KKSettingEntity : public IJsonParser
{
    Q_OBJECT
    Q_PROPERTY(QJsonValue hotKey READ GetHotKey WRITE SetHotKey)
    Q_PROPERTY(QJsonValue shortcut READ GetShortcut WRITE SetShortcut)
    Q_PROPERTY(QJsonValue proxy READ GetProxy WRITE SetProxy)
    Q_PROPERTY(QString skinName READ GetSkinName WRITE SetSkinName)
    Q_PROPERTY(bool merge READ GetMerge WRITE SetMerge)
public:
    explicit KKSettingEntity(QObject* parent = nullptr);
    KKSettingEntity(const KKSettingEntity& other);
    KKSettingEntity& operator=(const KKSettingEntity& other);
    ~KKSettingEntity() override;

    QJsonValue GetHotKey() const;
    void SetHotKey(const QJsonValue& hotKey);
    QJsonValue GetShortcut() const;
    void SetShortcut(const QJsonValue& shortcut);
    QJsonValue GetProxy() const;
    void SetProxy(const QJsonValue& proxy);
    QString GetSkinName() const;
    void SetSkinName(const QString& skinName);
    bool GetMerge() const;
    void SetMerge(const bool& merge);

private:
    // Declaration order differs from the property order on purpose: it is the class's layout.
    QJsonValue m_proxy;
    QJsonValue m_hotKey;
    QJsonValue m_shortcut;
    QString m_skinName;
    bool m_merge;
};
