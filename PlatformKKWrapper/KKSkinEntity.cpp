#include "PlatformKKWrapper/KKSkinEntity.h"

KKSkinEntity::KKSkinEntity(QObject* parent) : IJsonParser(parent) {}

KKSkinEntity::KKSkinEntity(const KKSkinEntity& other) : IJsonParser(other), m_skinName(other.m_skinName) {}

KKSkinEntity& KKSkinEntity::operator=(const KKSkinEntity& other)
{
    IJsonParser::operator=(other);
    m_skinName = other.m_skinName;
    return *this;
}

KKSkinEntity::~KKSkinEntity() = default;

QString KKSkinEntity::GetSkinName() const { return m_skinName; }
void KKSkinEntity::SetSkinName(const QString& skinName) { m_skinName = skinName; }
