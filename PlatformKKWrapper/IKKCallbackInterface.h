#pragma once

#include <QString>

// What the chat client tells the host. The host implements this interface and registers it with
// VXKopkopManager::SetKKCallback; the manager never owns or deletes it.
//
// Every operation is called on the manager's thread (the thread of the first
// VXKopkopManager::Instance() call), synchronously, one message at a time, in the order the
// client sent them. The docs/protocol.md table says which client message leads to which call.
class IKKCallbackInterface
{
public:
    // The first virtual operation; the module never calls it (it never deletes the callback).
    virtual ~IKKCallbackInterface() {}

    // "StartupCompleted": the client is ready; requests kept for it have been sent already.
    virtual void OnStartupCompleted(unsigned int value, const QString& text) = 0;
    virtual void OnShowMessageBox(const QString& text, unsigned int kind) = 0;
    // "ChangeStatusCallback": the client's online status (a KK_Status value).
    virtual void OnChangeStatus(int status) = 0;
    virtual void OnChangeLoginInitStatus(int status) = 0;
    virtual void OnBaseInfoChanged(const QString& info) = 0;
    virtual void OnActivePlatform() = 0;
    virtual void OnOpenUrl(const QString& url, bool inside) = 0;
    virtual void OnOpenPlugin(const QString& plugin) = 0;
    virtual void OnOpenSetting(const QString& page) = 0;
    virtual void OnUnreadMessageChanged(int count) = 0;
    virtual void OnTrayIconAction(bool flag, const QString& action, int value) = 0;
    virtual void OnChangeSkin(const QString& skinName) = 0;
    virtual void OnUpgradeNewVersion() = 0;
    virtual void OnLoginNewAccount() = 0;
    virtual void OnUploadInterfaceException(int code, const QString& a, const QString& b, const QString& c) = 0;
    virtual void OnUploadCefException(int code, const QString& a, const QString& b, const QString& c,
                                      const QString& d, const QString& e) = 0;
};
