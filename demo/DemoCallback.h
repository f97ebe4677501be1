#pragma once

#include "PlatformKKWrapper/IKKCallbackInterface.h"

#include <QObject>

class Timeline;

// The demo host's callback: prints every call on the timeline and remembers what the tour needs
// (the value the client reported at start-up, which the simulator sets to its process id).
// Called by the manager on the main thread.
class DemoCallback : public QObject, public IKKCallbackInterface
{
    Q_OBJECT
public:
    explicit DemoCallback(Timeline* timeline, QObject* parent = nullptr);

    unsigned int LastStartupValue() const { return m_lastStartupValue; }

    void OnStartupCompleted(unsigned int value, const QString& text) override;
    void OnShowMessageBox(const QString& text, unsigned int kind) override;
    void OnChangeStatus(int status) override;
    void OnChangeLoginInitStatus(int status) override;
    void OnBaseInfoChanged(const QString& info) override;
    void OnActivePlatform() override;
    void OnOpenUrl(const QString& url, bool inside) override;
    void OnOpenPlugin(const QString& plugin) override;
    void OnOpenSetting(const QString& page) override;
    void OnUnreadMessageChanged(int count) override;
    void OnTrayIconAction(bool flag, const QString& action, int value) override;
    void OnChangeSkin(const QString& skinName) override;
    void OnUpgradeNewVersion() override;
    void OnLoginNewAccount() override;
    void OnUploadInterfaceException(int code, const QString& a, const QString& b, const QString& c) override;
    void OnUploadCefException(int code, const QString& a, const QString& b, const QString& c, const QString& d,
                              const QString& e) override;

signals:
    // Emitted after each callback was printed, with the callback's name.
    void Called(const QString& name);

private:
    void Print(const QString& name, const QString& arguments);

    Timeline* m_timeline;
    unsigned int m_lastStartupValue = 0;
};
