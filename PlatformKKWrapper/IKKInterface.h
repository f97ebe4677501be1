#pragma once

#include "VXFrameData/KKTypes.h"

#include <QString>

class KKSettingEntity;

// The requests that can be made of the chat client. Each becomes one message on the pipe; an
// implementation decides whether and how it goes out. Private to the module: the manager holds
// its wrapper through this interface and is its only caller, on the manager's thread.
class IKKInterface
{
public:
    virtual ~IKKInterface() {}

    virtual void ChangeSetting(const KKSettingEntity& setting) = 0;
    virtual void Login() = 0;
    virtual void OpenKKWindow(const QString& strPin, KK_UserType userType, const QString& strAppId,
                              const QString& businessData) = 0;
    virtual void OpenKKGroup(const QString& first, const QString& second) = 0;
    virtual void OpenKKWorkbench(const QString& value) = 0;
    virtual void OpenBaseInfoSettingWindow() = 0;
    virtual void ChangeStatus(KK_Status status) = 0;
    virtual void ShowUnreadMessageList(bool flag, int a, int b, int c, int d) = 0;
    virtual void ChangeSkin(const QString& skinName) = 0;
    virtual void NotifyChanged(const QString& value) = 0;
    virtual void NotifyHasNewVersion() = 0;
};
