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
#include <QTimer>

#include <functional>

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
//
// Supervision. Every way a launch can fail leaves the manager idle with the pipes ready for the
// next client, and the host hears of it through SigExecuteError: a program that cannot start, a
// child that crashes or exits before it connects, a client that leaves between the two pipes, a
// client (child or detached) that has not connected within the connect time-out, pipes that
// cannot be created under their names. A client that goes away after connecting is restarted on
// the same pipes, at most twice within 60000 ms; when the third close is refused the host gets
// SigKopkopRestartRefused and can offer its user a way to start the chat again.
//
// Configuration read through the host's configuration service ("vx://config/object/service"):
//   "pc_start_kk_use_vxprocess_switch"  child VXProcess (true) or detached launch (false, default)
//   "pc_kopkop_connect_timeout_ms"      how long a launched client may take to connect (30000)
//   "pc_kopkop_max_frame_bytes"         the longest message accepted from the client (134217728);
//                                       read once, by Initialize()
//   "pc_kopkop_download_url"            the address the install text of SigExecuteError names
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
    // The client went away for the third time within 60000 ms and is not started again; the next
    // request (or ExecuteKK) starts it afresh.
    void SigKopkopRestartRefused();

private slots:
    void SlotClientConnected();
    void SlotClientClosed();
    void SlotReadData(const QByteArray& data);
    void SlotKKProcessError(QProcess::ProcessError error);
    void SlotPrepareStateChanged(PZSdkPackageManage::PrepareState state, const QString& data);
    void SlotKKProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void SlotClientLeftBeforeConnecting();
    void SlotConnectTimeout();
    void SlotPipesReady();
    void SlotPipesUnavailable();

private:
    bool IsConnected() const;
    void SetAsyncRead();
    bool CrashTimesCheck();
    bool StartKkUseVxProcess() const;
    void StartKopKop(const QString& path);
    // The message a request would be kept as, built only if it has to be kept: a long argument
    // (a 64 KiB business text) is not copied and scanned once for nothing.
    using MessageBuilder = std::function<QSharedPointer<VXProcessMessage>()>;
    bool CheckKKConnected(const MessageBuilder& keep);
    void CacheMsg(const QSharedPointer<VXProcessMessage>& msg);
    void SendMsgAfterReady();
    // The change-status update and connection check of the three requests that are kept.
    bool GuardedCheck(const MessageBuilder& keep);
    QString InstallText() const;
    // A launched client did not make it to a connection: idle again, the pipes ready for the
    // next client, the host told with SigExecuteError.
    void FailedStart(const QString& code, const QString& text, const QString& location);
    // Kills the child client that is given up on, quietly.
    void StopChild();
    int ConfigInt(const QString& key, int defaultValue, int minimum, int maximum) const;

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
    QTimer m_connectTimer;     // single shot: from a launch until the client connects
    QString m_pendingLaunch;   // a launch that waits for the pipes to be created
};
