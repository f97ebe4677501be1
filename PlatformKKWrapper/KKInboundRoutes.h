#pragma once

#include <QList>
#include <QString>
#include <QVariant>

class IKKCallbackInterface;

// The messages the chat client sends that go straight to the host's callback, one route each: the
// message's name, the fewest arguments it must carry, and the callback it becomes (arguments
// converted in order). A message with fewer arguments is dropped without a call.
//
// What is the manager's own stays there: decoding the payload, "StartupCompleted" (it releases
// the kept requests before the host hears of it) and the event for a name no route has.
//
//   name                        fewest  callback
//   "OpenUrl"                   2       OnOpenUrl(text, bool)
//   "OpenPlugin"                1       OnOpenPlugin(text)
//   "OpenSetting"               1       OnOpenSetting(text)
//   "ShowMessageBox"            2       OnShowMessageBox(text, uint)
//   "ChangeStatusCallback"      1       OnChangeStatus(int)
//   "BaseInfoChanged"           1       OnBaseInfoChanged(text)
//   "ActivePlatform"            0       OnActivePlatform()
//   "UnreadMessageChanged"      1       OnUnreadMessageChanged(int)
//   "TrayIconAction"            3       OnTrayIconAction(bool, text, int)
//   "ChangeLoginInitStatus"     1       OnChangeLoginInitStatus(int)
//   "ChangeSkin"                1       OnChangeSkin(text)
//   "UpgradeNewVersion"         0       OnUpgradeNewVersion()
//   "LoginNewAccount"           0       OnLoginNewAccount()
//   "UploadInterfaceException"  4       OnUploadInterfaceException(int, text, text, text)
//   "UploadCefException"        6       OnUploadCefException(int, text, text, text, text, text)
//
// Pure data and a lookup: any thread.
struct KKInboundRoute
{
    using Call = void (*)(IKKCallbackInterface* callback, const QList<QVariant>& args);

    const char* name;
    int fewestArgs;
    Call call;

    // The route for `name`, or nullptr.
    static const KKInboundRoute* Find(const QString& name);
};
