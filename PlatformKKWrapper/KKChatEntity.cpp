#include "PlatformKKWrapper/KKChatEntity.h"

KKChatEntity::KKChatEntity(QObject* parent) : IJsonParser(parent), m_tokenType(0), m_userType(0) {}

KKChatEntity::KKChatEntity(const KKChatEntity& other)
    : IJsonParser(other),
      m_buyerPin(other.m_buyerPin),
      m_tokenType(other.m_tokenType),
      m_appKey(other.m_appKey),
      m_userType(other.m_userType)
{
}

KKChatEntity& KKChatEntity::operator=(const KKChatEntity& other)
{
    IJsonParser::operator=(other);
    m_buyerPin = other.m_buyerPin;
    m_tokenType = other.m_tokenType;
    m_appKey = other.m_appKey;
    m_userType = other.m_userType;
    return *this;
}

KKChatEntity::~KKChatEntity() = default;

QString KKChatEntity::GetBuyerPin() const { return m_buyerPin; }
void KKChatEntity::SetBuyerPin(const QString& buyerPin) { m_buyerPin = buyerPin; }
int KKChatEntity::GetTokenType() const { return m_tokenType; }
void KKChatEntity::SetTokenType(const int& tokenType) { m_tokenType = tokenType; }
QString KKChatEntity::GetAppKey() const { return m_appKey; }
void KKChatEntity::SetAppKey(const QString& appKey) { m_appKey = appKey; }
int KKChatEntity::GetUserType() const { return m_userType; }
void KKChatEntity::SetUserType(const int& userType) { m_userType = userType; }
