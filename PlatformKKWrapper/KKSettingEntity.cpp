#include "PlatformKKWrapper/KKSettingEntity.h"

KKSettingEntity::KKSettingEntity(QObject* parent)
    : IJsonParser(parent), m_proxy(QJsonValue::Null), m_hotKey(QJsonValue::Null), m_shortcut(QJsonValue::Null), m_merge(false)
{
}

KKSettingEntity::KKSettingEntity(const KKSettingEntity& other)
    : IJsonParser(other),
      m_proxy(other.m_proxy),
      m_hotKey(other.m_hotKey),
      m_shortcut(other.m_shortcut),
      m_skinName(other.m_skinName),
      m_merge(other.m_merge)
{
}

KKSettingEntity& KKSettingEntity::operator=(const KKSettingEntity& other)
{
    IJsonParser::operator=(other);
    m_proxy = other.m_proxy;
    m_hotKey = other.m_hotKey;
    m_shortcut = other.m_shortcut;
    m_skinName = other.m_skinName;
    m_merge = other.m_merge;
    return *this;
}

KKSettingEntity::~KKSettingEntity() = default;

QJsonValue KKSettingEntity::GetHotKey() const { return m_hotKey; }
void KKSettingEntity::SetHotKey(const QJsonValue& hotKey) { m_hotKey = hotKey; }
QJsonValue KKSettingEntity::GetShortcut() const { return m_shortcut; }
void KKSettingEntity::SetShortcut(const QJsonValue& shortcut) { m_shortcut = shortcut; }
QJsonValue KKSettingEntity::GetProxy() const { return m_proxy; }
void KKSettingEntity::SetProxy(const QJsonValue& proxy) { m_proxy = proxy; }
QString KKSettingEntity::GetSkinName() const { return m_skinName; }
void KKSettingEntity::SetSkinName(const QString& skinName) { m_skinName = skinName; }
bool KKSettingEntity::GetMerge() const { return m_merge; }
void KKSettingEntity::SetMerge(const bool& merge) { m_merge = merge; }
