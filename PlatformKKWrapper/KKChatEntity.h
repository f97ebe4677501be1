#pragma once

#include "PlatformKKWrapper/PlatformKKWrapperExport.h"
#include "VXFoundation/IJsonParser.h"

#include <QString>

// A chat-window request: the buyer to talk with and how. A value object: copy it freely; its
// JSON (ToJson) has the keys "buyerPin", "tokenType", "appKey", "userType". Not thread-safe;
// owned by whoever made it.
class PLATFORMKKWRAPPER_EXPORT KKChatEntity : public IJsonParser
{
    Q_OBJECT
    Q_PROPERTY(QString buyerPin READ GetBuyerPin WRITE SetBuyerPin)
    Q_PROPERTY(int tokenType READ GetTokenType WRITE SetTokenType)
    Q_PROPERTY(QString appKey READ GetAppKey WRITE SetAppKey)
    Q_PROPERTY(int userType READ GetUserType WRITE SetUserType)
public:
    explicit KKChatEntity(QObject* parent = nullptr);
    KKChatEntity(const KKChatEntity& other);
    KKChatEntity& operator=(const KKChatEntity& other);
    ~KKChatEntity() override;

    QString GetBuyerPin() const;
    void SetBuyerPin(const QString& buyerPin);
    int GetTokenType() const;
    void SetTokenType(const int& tokenType);
    QString GetAppKey() const;
    void SetAppKey(const QString& appKey);
    int GetUserType() const;
    void SetUserType(const int& userType);

private:
    QString m_buyerPin;
    int m_tokenType;
    QString m_appKey;
    int m_userType;
};
