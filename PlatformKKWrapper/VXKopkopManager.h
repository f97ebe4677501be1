#pragma once

#include "PlatformKKWrapper/PlatformKKWrapperExport.h"
#include "PZUpdate/PZSdkPackageManage.h"
#include "VXFoundation/VXProcessMessage.h"
#include "VXFrameData/KKTypes.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QSharedPointer>
#include <QString>

class IKKCallbackInterface;
class IKKInterface;
class KKSettingEntity;
class VXPipeServer;
class VXProcess;

// The host's one way to drive the Kopkop chat client: a process-wide singleton that prepares and
// launches the client, restarts it when it goes away (at most twice within 60000 ms), talks to it
// over a pair of named pipes, keeps chat, group and workbench requests until the client reports
// that it is ready, and hands the client's messages to the host's IKKCallbackInterface.
//
// Use:
//     VXKopkopManager* kk = VXKopkopManager::Instance();   // on the host's GUI/main thread
//     kk->SetKKCallback(&myCallback);
//     kk->Initialize();
//     kk->ExecuteKK(false);                                // or just make a request
//     kk->OpenKKWindow("buyer_0815", KK_UserType_Customer, "app-7", "");
//     ...
//     VXKopkopManager::ReleaseInstance();                  // or leave it to the module's unload
//
// Threads. The manager lives in the thread of the first Instance() call. Every command, slot and
// callback runs there; the pipe threads reach it only through queued signals, so its members need
// no lock. Instance() and ReleaseInstance() may be called from any thread (a static mutex guards
// the instance), but ReleaseInstance() must not race with another thread still using the pointer.
//
// Failures throw nothing: they are recorded with the host's tracking service (identifier "370")
// and, where the host must react, signalled with SigExecuteError.
class PLATFORMKKWRAPPER_EXPORT VXKopkopManager : public QObject
{
    Q_OBJECT
    friend class VXKopkopManagerInspector;  // white-box tests

public:
    enum PipeStatus { PipeStatusIdle = 0, PipeStatusStarted = 1, PipeStatusConnected = 2 };

    static VXKopkopManager* Instance();
    static void ReleaseInstance();

    explicit VXKopkopManager(QObject* parent = nullptr);
    ~VXKopkopManager() override;

    // Creates the package manager, the pipe server (two pipes named after one new UUID) and the
    // request wrapper. A second call does nothing.
    void Initialize();
    // The host's callback (not owned; null: messages from the client are dropped).
    void SetKKCallback(IKKCallbackInterface* callback);
    // Prepares and launches the client if none runs. isAuto: an automatic restart after a close.
    void ExecuteKK(bool isAuto);
    // Writes a raw text to the client as it is (no message around it, never kept); false while no
    // client runs or the write could not be queued.
    bool SendCommand(const QString& command);

    void Login();
    void NotifyHasNewVersion();
    void OpenBaseInfoSettingWindow();
    void ChangeStatus(KK_Status status);
    void ChangeSkin(const QString& skin);
    void ChangeSetting(const KKSettingEntity& setting);
    // These three are kept until the client is ready, and launch it when none runs.
    void OpenKKWindow(const QString& pin, KK_UserType userType, const QString& appId, const QString& businessData);
    void OpenKKGroup(const QString& first, const QString& second);
    void OpenKKWorkbench(const QString& value);
    void ShowUnreadMessageList(bool flag, int a, int b, int c, int d);

signals:
    void SigKopkopConnected();
    void SigShowLoading();
    void SigExecutePending(const QString& pin);
    void SigExecuteError(const QString& desc);

private slots:
    void SlotClientConnected();
    void SlotClientClosed();
    void SlotReadData(const QByteArray& data);
    void SlotKKProcessError(QProcess::ProcessError error);
    void SlotPrepareStateChanged(PZSdkPackageManage::PrepareState state, const QString& data);

private:
    bool IsConnected() const;
    void SetAsyncRead();
    bool CrashTimesCheck();
    bool StartKkUseVxProcess() const;
    void StartKopKop(const QString& path);
    bool CheckKKConnected(const QSharedPointer<VXProcessMessage>& msg);
    void CacheMsg(const QSharedPointer<VXProcessMessage>& msg);
    void SendMsgAfterReady();
    // The change-status update and connection check of the three requests that are kept.
    bool GuardedCheck(const QSharedPointer<VXProcessMessage>& msg);
    QString InstallText() const;

    IKKCallbackInterface* m_pCallback;
    VXPipeServer* m_pPipeServer;
    IKKInterface* m_pWrapper;
    PZSdkPackageManage* m_packageManage;
    VXProcess* m_pProcess;
    QString m_writePipeName;
    QString m_readPipeName;
    int m_pipeStatus;
    bool m_isReady;
    bool m_hasStarted;
    QElapsedTimer m_crashTimer;
    int m_crashTimes;
    QList<QSharedPointer<VXProcessMessage>> m_msgCache;
};
