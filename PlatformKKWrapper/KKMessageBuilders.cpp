#include "PlatformKKWrapper/KKMessageBuilders.h"

#include "PlatformKKWrapper/KKSettingEntity.h"
#include "PlatformKKWrapper/KKSkinEntity.h"
#include "VXCore/ITcpManager.h"
#include "VXCore/VXGlobalData.h"
#include "VXFrameData/IGeneralData.h"
#include "VXFrameData/VXKKData.h"

#include <QVariant>

namespace {

QSharedPointer<VXProcessMessage> Make(const QString& name, std::initializer_list<QVariant> args)
{
    QSharedPointer<VXProcessMessage> message = VXProcessMessage::Create(name);
    QList<QVariant>& list = message->GetArgs();
    list.reserve(int(args.size()));
    for (const QVariant& arg : args)
        list.append(arg);
    return message;
}

// Pins are nearly always lower-case ASCII already: a plain scan spares QString::toLower its
// per-character table look-ups, and the text is shared rather than copied.
QString LowerCased(const QString& text)
{
    for (const QChar c : text) {
        const ushort unit = c.unicode();
        if (unit >= 0x80 || (unit >= 'A' && unit <= 'Z'))
            return text.toLower();
    }
    return text;
}

}  // namespace

QSharedPointer<VXProcessMessage> MakeChangeSettingMessage(const KKSettingEntity& setting)
{
    return Make(QStringLiteral("ChangeSetting"), {QVariant(setting.ToJson())});
}

QSharedPointer<VXProcessMessage> MakeLoginMessage()
{
    VXKKData* kkData = IGeneralData::Instance()->GetKKData();
    ITcpManager* tcp = ITcpManager::Instance();
    return Make(QStringLiteral("Login"),
                {QVariant(VXGlobalData::Instance()->GetPin()), QVariant(kkData->GetChangeStatus()),
                 QVariant(int(kkData->GetStartupStatus())), QVariant(tcp->GetLoginValue1()),
                 QVariant(tcp->GetLoginValue2()), QVariant(tcp->GetLoginBytes())});
}

QSharedPointer<VXProcessMessage> MakeOpenKKWindowMessage(const QString& strPin, KK_UserType userType,
                                                         const QString& strAppId, const QString& businessData)
{
    return Make(QStringLiteral("OpenKKWindow"),
                {QVariant(LowerCased(strPin)), QVariant(int(userType)), QVariant(strAppId), QVariant(businessData)});
}

QSharedPointer<VXProcessMessage> MakeOpenKKGroupMessage(const QString& first, const QString& second)
{
    return Make(QStringLiteral("OpenKKGroup"), {QVariant(first), QVariant(second)});
}

QSharedPointer<VXProcessMessage> MakeOpenKKWorkbenchMessage(const QString& value)
{
    return Make(QStringLiteral("JsOpenKKWorkbench"), {QVariant(value)});
}

QSharedPointer<VXProcessMessage> MakeOpenBaseInfoSettingWindowMessage()
{
    return Make(QStringLiteral("OpenBaseInfoSettingWindow"), {});
}

QSharedPointer<VXProcessMessage> MakeChangeStatusMessage(KK_Status status)
{
    return Make(QStringLiteral("ChangeStatus"), {QVariant(int(status))});
}

QSharedPointer<VXProcessMessage> MakeShowUnreadMessageListMessage(bool flag, int a, int b, int c, int d)
{
    return Make(QStringLiteral("ShowUnreadMessageList"), {QVariant(flag), QVariant(a), QVariant(b), QVariant(c), QVariant(d)});
}

QSharedPointer<VXProcessMessage> MakeChangeSkinMessage(const QString& skinName)
{
    KKSkinEntity skin(nullptr);
    skin.SetSkinName(skinName);
    return Make(QStringLiteral("ChangeSkin"), {QVariant(skin.ToJson())});
}

QSharedPointer<VXProcessMessage> MakeNotifyChangedMessage(const QString& value)
{
    return Make(QStringLiteral("NotifyChanged"), {QVariant(value)});
}

QSharedPointer<VXProcessMessage> MakeNotifyHasNewVersionMessage()
{
    return Make(QStringLiteral("VXHasNewVersion"), {});
}
