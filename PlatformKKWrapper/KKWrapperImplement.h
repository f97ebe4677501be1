#pragma once

#include "PlatformKKWrapper/IKKInterface.h"

#include <QSharedPointer>

class VXPipeServer;
class VXProcessMessage;

// The requests to the chat client, sent over the pipe server. Each operation, only while the
// client is connected to the read pipe, builds its message (KKMessageBuilders.h), hands the
// UTF-8 bytes of its text form to the server's AsyncWriteData and records an Info tracking
// event with the operation's own event code and the text. While the client is not connected it
// does nothing at all: requests that must survive are the caller's to keep.
//
// Not a QObject. Called only from the manager's thread; it has no state of its own. The pipe
// server belongs to the manager and outlives the wrapper.
class KKWrapperImplement : public IKKInterface
{
public:
    explicit KKWrapperImplement(VXPipeServer* pipeServer);
    ~KKWrapperImplement() override;

    void ChangeSetting(const KKSettingEntity& setting) override;
    void Login() override;
    void OpenKKWindow(const QString& strPin, KK_UserType userType, const QString& strAppId,
                      const QString& businessData) override;
    void OpenKKGroup(const QString& first, const QString& second) override;
    void OpenKKWorkbench(const QString& value) override;
    void OpenBaseInfoSettingWindow() override;
    void ChangeStatus(KK_Status status) override;
    void ShowUnreadMessageList(bool flag, int a, int b, int c, int d) override;
    void ChangeSkin(const QString& skinName) override;
    void NotifyChanged(const QString& value) override;
    void NotifyHasNewVersion() override;

private:
    bool IsConnectedToClient() const;
    void Send(const QSharedPointer<VXProcessMessage>& message, const QString& eventCode, const QString& location);

    VXPipeServer* const m_pPipeServer;  // not owned
};
