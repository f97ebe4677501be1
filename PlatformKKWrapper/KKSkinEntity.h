#pragma once

#include "PlatformKKWrapper/PlatformKKWrapperExport.h"
#include "VXFoundation/IJsonParser.h"

#include <QString>

// A skin change for the chat client; its JSON (ToJson) is {"skinName":"..."}. A value object;
// not thread-safe.
class PLATFORMKKWRAPPER_EXPORT KKSkinEntity : public IJsonParser
{
    Q_OBJECT
    Q_PROPERTY(QString skinName READ GetSkinName WRITE SetSkinName)
public:
    explicit KKSkinEntity(QObject* parent = nullptr);
    KKSkinEntity(const KKSkinEntity& other);
    KKSkinEntity& operator=(const KKSkinEntity& other);
    ~KKSkinEntity() override;

    QString GetSkinName() const;
    void SetSkinName(const QString& skinName);

private:
    QString m_skinName;
};
