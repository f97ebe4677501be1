#include "PlatformKKWrapper/KKWrapperImplement.h"

#include "PlatformKKWrapper/KKConstants.h"
#include "PlatformKKWrapper/KKLocation.h"
#include "PlatformKKWrapper/KKMessageBuilders.h"
#include "PlatformKKWrapper/KKTracking.h"
#include "PlatformKKWrapper/VXPipeServer.h"

KKWrapperImplement::KKWrapperImplement(VXPipeServer* pipeServer) : m_pPipeServer(pipeServer) {}

KKWrapperImplement::~KKWrapperImplement() = default;

bool KKWrapperImplement::IsConnectedToClient() const
{
    return m_pPipeServer && m_pPipeServer->IsConnected();
}

void KKWrapperImplement::Send(const QSharedPointer<VXProcessMessage>& message, const QString& eventCode,
                              const QString& location)
{
    const QString text = message->ToString();
    m_pPipeServer->AsyncWriteData(text.toUtf8());
    KKTracking::Info(KKTrackId, eventCode, text, location);
}

void KKWrapperImplement::ChangeSetting(const KKSettingEntity& setting)
{
    if (IsConnectedToClient())
        Send(MakeChangeSettingMessage(setting), QStringLiteral("ChangeSetting"), KK_LOCATION);
}

void KKWrapperImplement::Login()
{
    if (IsConnectedToClient())
        Send(MakeLoginMessage(), QStringLiteral("Login"), KK_LOCATION);
}

void KKWrapperImplement::OpenKKWindow(const QString& strPin, KK_UserType userType, const QString& strAppId,
                                      const QString& businessData)
{
    if (IsConnectedToClient())
        Send(MakeOpenKKWindowMessage(strPin, userType, strAppId, businessData), QStringLiteral("OpenKKWindow"), KK_LOCATION);
}

void KKWrapperImplement::OpenKKGroup(const QString& first, const QString& second)
{
    if (IsConnectedToClient())
        Send(MakeOpenKKGroupMessage(first, second), QStringLiteral("OpenKKGroup"), KK_LOCATION);
}

void KKWrapperImplement::OpenKKWorkbench(const QString& value)
{
    if (IsConnectedToClient())
        Send(MakeOpenKKWorkbenchMessage(value), QStringLiteral("OpenKKWorkbench"), KK_LOCATION);
}

void KKWrapperImplement::OpenBaseInfoSettingWindow()
{
    if (IsConnectedToClient())
        Send(MakeOpenBaseInfoSettingWindowMessage(), QStringLiteral("OpenBaseInfoSettingWindow"), KK_LOCATION);
}

void KKWrapperImplement::ChangeStatus(KK_Status status)
{
    if (IsConnectedToClient())
        Send(MakeChangeStatusMessage(status), QStringLiteral("ChangeStatus"), KK_LOCATION);
}

void KKWrapperImplement::ShowUnreadMessageList(bool flag, int a, int b, int c, int d)
{
    if (IsConnectedToClient())
        Send(MakeShowUnreadMessageListMessage(flag, a, b, c, d), QStringLiteral("ShowUnreadMessageList"), KK_LOCATION);
}

void KKWrapperImplement::ChangeSkin(const QString& skinName)
{
    if (IsConnectedToClient())
        Send(MakeChangeSkinMessage(skinName), QStringLiteral("ChangeSkin"), KK_LOCATION);
}

void KKWrapperImplement::NotifyChanged(const QString& value)
{
    if (IsConnectedToClient())
        Send(MakeNotifyChangedMessage(value), QStringLiteral("NotifyChanged"), KK_LOCATION);
}

void KKWrapperImplement::NotifyHasNewVersion()
{
    if (IsConnectedToClient())
        Send(MakeNotifyHasNewVersionMessage(), QStringLiteral("NotifyHasNewVersion"), KK_LOCATION);
}
