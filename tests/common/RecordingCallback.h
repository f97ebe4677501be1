#pragma once

// An IKKCallbackInterface that records every call with its converted arguments, in order, and
// lets a test run code at the moment of a call.

#include "PlatformKKWrapper/IKKCallbackInterface.h"

#include <QList>
#include <QPair>
#include <QVariant>

#include <functional>

class RecordingCallback : public IKKCallbackInterface
{
public:
    using Call = QPair<QString, QVariantList>;

    QList<Call> calls;
    std::function<void(const Call&)> onCall;  // runs inside the callback, on the manager's thread

    QStringList Names() const
    {
        QStringList names;
        for (const Call& call : calls)
            names.append(call.first);
        return names;
    }

    void OnStartupCompleted(unsigned int value, const QString& text) override { Add("OnStartupCompleted", {value, text}); }
    void OnShowMessageBox(const QString& text, unsigned int kind) override { Add("OnShowMessageBox", {text, kind}); }
    void OnChangeStatus(int status) override { Add("OnChangeStatus", {status}); }
    void OnChangeLoginInitStatus(int status) override { Add("OnChangeLoginInitStatus", {status}); }
    void OnBaseInfoChanged(const QString& info) override { Add("OnBaseInfoChanged", {info}); }
    void OnActivePlatform() override { Add("OnActivePlatform", {}); }
    void OnOpenUrl(const QString& url, bool inside) override { Add("OnOpenUrl", {url, inside}); }
    void OnOpenPlugin(const QString& plugin) override { Add("OnOpenPlugin", {plugin}); }
    void OnOpenSetting(const QString& page) override { Add("OnOpenSetting", {page}); }
    void OnUnreadMessageChanged(int count) override { Add("OnUnreadMessageChanged", {count}); }
    void OnTrayIconAction(bool flag, const QString& action, int value) override
    {
        Add("OnTrayIconAction", {flag, action, value});
    }
    void OnChangeSkin(const QString& skinName) override { Add("OnChangeSkin", {skinName}); }
    void OnUpgradeNewVersion() override { Add("OnUpgradeNewVersion", {}); }
    void OnLoginNewAccount() override { Add("OnLoginNewAccount", {}); }
    void OnUploadInterfaceException(int code, const QString& a, const QString& b, const QString& c) override
    {
        Add("OnUploadInterfaceException", {code, a, b, c});
    }
    void OnUploadCefException(int code, const QString& a, const QString& b, const QString& c, const QString& d,
                              const QString& e) override
    {
        Add("OnUploadCefException", {code, a, b, c, d, e});
    }

private:
    void Add(const char* name, const QVariantList& args)
    {
        calls.append({QString::fromLatin1(name), args});
        if (onCall)
            onCall(calls.last());
    }
};
