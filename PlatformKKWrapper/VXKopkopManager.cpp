#include "PlatformKKWrapper/VXKopkopManager.h"

#include "PlatformKKWrapper/IKKCallbackInterface.h"
#include "PlatformKKWrapper/KKConstants.h"
#include "PlatformKKWrapper/KKInboundRoutes.h"
#include "PlatformKKWrapper/KKLocation.h"
#include "PlatformKKWrapper/KKMessageBuilders.h"
#include "PlatformKKWrapper/KKThreadCheck.h"
#include "PlatformKKWrapper/KKTracking.h"
#include "PlatformKKWrapper/KKWrapperImplement.h"
#include "PlatformKKWrapper/VXPipeFrame.h"
#include "PlatformKKWrapper/VXPipeServer.h"
#include "VXCore/IMonitorSystem.h"
#include "VXCore/VXGlobalData.h"
#include "VXFoundation/LogHelper.h"
#include "VXFoundation/VXProcess.h"
#include "VXFrameData/IGeneralData.h"
#include "VXFrameData/VXKKData.h"
#include "YRBase/IConfigService.h"
#include "YRBase/YRRouterProtocol.h"

#include <QFileInfo>
#include <QMutex>
#include <QUuid>

#include <atomic>
#include <climits>
#include <cstring>
#include <utility>

namespace {

constexpr qint64 kCrashWindowMs = 60000;    // closes are counted within this window ...
constexpr int kCrashesRefused = 3;          // ... and this many refuse the restart
constexpr int kDefaultConnectTimeoutMs = 30000;  // from a launch to the client's connection
constexpr int kInvalidMessageQuote = 64;    // characters quoted of a payload that is not a message
const char kMainCategory[] = "main";
// Where a host user finds the workstation installer, when the host's configuration names none.
const char kDefaultDownloadPage[] = "https://vx.example.com/download";

std::atomic<VXKopkopManager*> g_instance{nullptr};
// Guards creation and destruction of the instance; created with the library, unlocked.
QMutex g_instanceMutex;

// Destroyed when the module is unloaded (or the process ends): releases a manager the host left.
struct UnloadRelease
{
    ~UnloadRelease() { VXKopkopManager::ReleaseInstance(); }
};

void LogInfo(const QString& location, const QString& text)
{
    LogHelper::Info(QLatin1String(kMainCategory), location + text);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Lifecycle

VXKopkopManager* VXKopkopManager::Instance()
{
    // Registered on the first call, after the library's own globals, so it runs before them.
    static UnloadRelease unloadRelease;
    VXKopkopManager* instance = g_instance.load(std::memory_order_acquire);
    if (instance)
        return instance;
    QMutexLocker lock(&g_instanceMutex);
    instance = g_instance.load(std::memory_order_relaxed);
    if (!instance) {
        instance = new VXKopkopManager(nullptr);
        g_instance.store(instance, std::memory_order_release);
    }
    return instance;
}

void VXKopkopManager::ReleaseInstance()
{
    if (!g_instance.load(std::memory_order_acquire))
        return;
    QMutexLocker lock(&g_instanceMutex);
    VXKopkopManager* instance = g_instance.load(std::memory_order_relaxed);
    if (instance) {
        delete instance;
        g_instance.store(nullptr, std::memory_order_release);
    }
}

VXKopkopManager::VXKopkopManager(QObject* parent)
    : QObject(parent),
      m_pCallback(nullptr),
      m_pPipeServer(nullptr),
      m_pWrapper(nullptr),
      m_packageManage(nullptr),
      m_pProcess(nullptr),
      m_pipeStatus(PipeStatusIdle),
      m_isReady(false),
      m_hasStarted(false),
      m_crashTimes(0)
{
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &VXKopkopManager::SlotConnectTimeout);
}

VXKopkopManager::~VXKopkopManager()
{
    m_msgCache.clear();
    m_readPipeName.clear();
    m_writePipeName.clear();
    delete m_pProcess;
    delete m_packageManage;
    delete m_pWrapper;      // refers to the pipe server, so it goes first
    delete m_pPipeServer;   // ends both pipe threads
    m_pProcess = nullptr;
    m_packageManage = nullptr;
    m_pWrapper = nullptr;
    m_pPipeServer = nullptr;
}

void VXKopkopManager::Initialize()
{
    KK_ASSERT_OWNER_THREAD(this);
    if (m_pPipeServer)
        return;

    PZSdkPackageManage* packageManage = new PZSdkPackageManage(PZSdkPackageManage::SdkType_Kopkop, nullptr);
    std::swap(packageManage, m_packageManage);
    delete packageManage;
    connect(m_packageManage, &PZSdkPackageManage::SigPrepareStateChanged, this,
            &VXKopkopManager::SlotPrepareStateChanged);

    const QString uuid = QUuid::createUuid().toString();
    m_writePipeName = QStringLiteral("\\\\.\\pipe\\writepipe_%1").arg(uuid);
    m_readPipeName = QStringLiteral("\\\\.\\pipe\\readpipe_%1").arg(uuid);

    m_pPipeServer = new VXPipeServer(nullptr);
    connect(m_pPipeServer, &VXPipeServer::SigClientConnected, this, &VXKopkopManager::SlotClientConnected);
    connect(m_pPipeServer, &VXPipeServer::SigClientClosed, this, &VXKopkopManager::SlotClientClosed);
    connect(m_pPipeServer, &VXPipeServer::SigClientLeftBeforeConnecting, this,
            &VXKopkopManager::SlotClientLeftBeforeConnecting);
    connect(m_pPipeServer, &VXPipeServer::SigPipesReady, this, &VXKopkopManager::SlotPipesReady);
    connect(m_pPipeServer, &VXPipeServer::SigPipesUnavailable, this, &VXKopkopManager::SlotPipesUnavailable);
    m_pPipeServer->SetPayloadLimit(ConfigInt(KopkopMaxFrameBytesKey, VXPipeFrame::kDefaultPayloadLimit, 0,
                                             VXPipeFrame::kMaxPayload));
    m_pPipeServer->InitPipe(m_writePipeName, m_readPipeName);

    IKKInterface* wrapper = new KKWrapperImplement(m_pPipeServer);
    std::swap(wrapper, m_pWrapper);
    delete wrapper;

    SetAsyncRead();
}

void VXKopkopManager::SetKKCallback(IKKCallbackInterface* callback)
{
    KK_ASSERT_OWNER_THREAD(this);
    m_pCallback = callback;
}

bool VXKopkopManager::IsConnected() const
{
    return m_pipeStatus != PipeStatusIdle;
}

void VXKopkopManager::SetAsyncRead()
{
    if (m_pPipeServer) {
        connect(m_pPipeServer, &VXPipeServer::SigReadData, this, &VXKopkopManager::SlotReadData,
                Qt::UniqueConnection);
    }
}

// ---------------------------------------------------------------------------------------------
// Launch and supervision

void VXKopkopManager::ExecuteKK(bool isAuto)
{
    KK_ASSERT_OWNER_THREAD(this);
    KKTracking::Info(KKTrackId, QStringLiteral("ExecuteKK"),
                     QStringLiteral("isAuto: %1").arg(isAuto ? QStringLiteral("true") : QStringLiteral("false")), KK_LOCATION);
    if (m_pipeStatus != PipeStatusIdle) {
        KKTracking::Error(KKTrackId, QStringLiteral("ExecuteKKError"),
                          QStringLiteral("m_pipeStatus is not in normal state"), KK_LOCATION);
        return;
    }
    if (!m_packageManage) {
        KKTracking::Error(KKTrackId, QStringLiteral("ExecuteKKError"), QStringLiteral("m_packageManage is nullptr"),
                          KK_LOCATION);
        return;
    }
    if (!isAuto)
        m_crashTimer.invalidate();  // a start asked for opens a fresh crash window
    m_packageManage->Prepare();
}

void VXKopkopManager::SlotPrepareStateChanged(PZSdkPackageManage::PrepareState state, const QString& data)
{
    KK_ASSERT_OWNER_THREAD(this);
    switch (state) {
    case PZSdkPackageManage::PreparePending:
        emit SigExecutePending(data);
        break;
    case PZSdkPackageManage::PrepareFinished:
        // A client is already starting or connected (a second ExecuteKK during a preparation
        // prepares twice): launching another one would only fight it for the single-instance
        // pipes, so the extra result is recorded and dropped.
        if (m_pipeStatus != PipeStatusIdle) {
            KKTracking::Warn(KKTrackId, QStringLiteral("KopkopPrepareIgnored"),
                             QStringLiteral("pipe status %1").arg(m_pipeStatus), KK_LOCATION);
            break;
        }
        StartKopKop(data);
        break;
    case PZSdkPackageManage::PrepareFailed:
        emit SigExecuteError(data);
        KKTracking::Warn(KKTrackId, QStringLiteral("KopkopPrepareError"), data, KK_LOCATION);
        break;
    default:
        break;
    }
}

void VXKopkopManager::StartKopKop(const QString& path)
{
    KK_ASSERT_OWNER_THREAD(this);
    const QFileInfo executable(path);
    if (!executable.exists()) {
        KKTracking::Error(KKTrackId, QStringLiteral("StartKopKopError"),
                          QStringLiteral("Kopkop executable file not found"), KK_LOCATION);
        return;
    }
    // Never start a client the pipes are not ready for: it would find them busy (held by an
    // earlier client) or, worse, talk to whoever took the names. The launch waits for the pipes
    // while the server retries; SlotPipesReady or SlotPipesUnavailable takes it from there.
    if (m_pPipeServer && !m_pPipeServer->PrepareForClient()) {
        m_pendingLaunch = path;
        KKTracking::Warn(KKTrackId, QStringLiteral("StartKopKopWaitForPipes"),
                         QStringLiteral("the pipes are being created again"), KK_LOCATION);
        return;
    }
    m_pendingLaunch.clear();

    const QString empty;
    if (m_hasStarted) {
        IMonitorSystem::GetMonitorSystem()->ReportEvent(QStringLiteral("kopkopCrashed"), empty, empty, empty, empty,
                                                        empty, empty, empty, empty, empty);
        KKTracking::Warn(KKTrackId, QStringLiteral("startKopKopAgain"), QStringLiteral("kopkop could crashed"),
                         KK_LOCATION);
    } else {
        IMonitorSystem::GetMonitorSystem()->ReportEvent(QStringLiteral("kopkopPV"), empty, empty, empty, empty, empty,
                                                        empty, empty, empty, empty);
        KKTracking::Warn(KKTrackId, QStringLiteral("kopkopPV"), QStringLiteral("kokop started"), KK_LOCATION);
    }
    m_hasStarted = true;
    m_pipeStatus = PipeStatusStarted;

    const QStringList arguments{QStringLiteral("pipe?param=%1&%2").arg(m_writePipeName, m_readPipeName),
                                QStringLiteral("version=%1").arg(QString::fromUtf8(VXGlobalData::Instance()->GetAppVersion()))};
    const QString workingDirectory = executable.absolutePath();

    emit SigShowLoading();

    if (StartKkUseVxProcess()) {
        VXProcess* process = new VXProcess(nullptr);
        std::swap(process, m_pProcess);
        delete process;
        connect(m_pProcess, &QProcess::errorOccurred, this, &VXKopkopManager::SlotKKProcessError);
        connect(m_pProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                &VXKopkopManager::SlotKKProcessFinished);
        // The process object goes as soon as the client connects; the client must live on.
        m_pProcess->m_processFlag = false;
        m_pProcess->setProgram(path);
        m_pProcess->setArguments(arguments);
        m_pProcess->setWorkingDirectory(workingDirectory);
        m_pProcess->start(QIODevice::ReadWrite);
        KKTracking::Info(KKTrackId, QStringLiteral("StartKopKopUseVXProcess"), QString(), KK_LOCATION);
    } else {
        const bool started = QProcess::startDetached(path, arguments, workingDirectory);
        KKTracking::Info(KKTrackId, QStringLiteral("StartKopKopUseQProcess_Win"), QString(), KK_LOCATION);
        if (!started && m_pipeStatus == PipeStatusStarted) {
            // Nothing else would ever bring the status back (no process object to report the
            // failure, no pipe to close), so a failed detached start is handled as a failed
            // child start: back to idle, and the host hears of it.
            FailedStart(QStringLiteral("StartKopKopError"), QStringLiteral("Kopkop detached start failed"), KK_LOCATION);
            return;
        }
    }
    // A client that neither connects nor ends would otherwise keep the status at 1 for good:
    // requests would be kept and ExecuteKK refused forever.
    if (m_pipeStatus == PipeStatusStarted)
        m_connectTimer.start(ConfigInt(KopkopConnectTimeoutKey, kDefaultConnectTimeoutMs, 1, INT_MAX));
}

bool VXKopkopManager::StartKkUseVxProcess() const
{
    YRRouterProtocol router(ConfigObjectServiceUri);
    IConfigService* config = dynamic_cast<IConfigService*>(router.GetObj());
    if (!config)
        return false;
    return config->GetBoolValue(StartKkUseVxProcessSwitch, false);
}

bool VXKopkopManager::CrashTimesCheck()
{
    if (m_crashTimer.isValid() && !m_crashTimer.hasExpired(kCrashWindowMs)) {
        ++m_crashTimes;
        if (m_crashTimes < kCrashesRefused)
            return true;
        KKTracking::Warn(KKTrackId, QStringLiteral("KKCrashTooManyTimes"), QStringLiteral("KKCrashTooManyTimes"),
                         KK_LOCATION);
        return false;
    }
    m_crashTimes = 1;
    m_crashTimer.start();
    return true;
}

void VXKopkopManager::SlotClientConnected()
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("Kopkop pipe is connected"));
    m_connectTimer.stop();
    if (m_pProcess) {
        VXProcess* process = m_pProcess;
        m_pProcess = nullptr;
        delete process;
    }
    m_pipeStatus = PipeStatusConnected;
    emit SigKopkopConnected();
}

void VXKopkopManager::SlotClientClosed()
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("Kopkop pipe is closed"));
    IMonitorSystem::GetMonitorSystem()->ReportEventList(QStringLiteral("Home_Kk_Crash"), QStringList());
    m_connectTimer.stop();
    m_pipeStatus = PipeStatusIdle;
    m_isReady = false;
    SetAsyncRead();
    if (CrashTimesCheck())
        ExecuteKK(true);
    else
        emit SigKopkopRestartRefused();
}

void VXKopkopManager::SlotKKProcessError(QProcess::ProcessError error)
{
    KK_ASSERT_OWNER_THREAD(this);
    if (m_pipeStatus == PipeStatusStarted) {
        FailedStart(QStringLiteral("KKProcessError"), QStringLiteral("error code %1").arg(int(error)), KK_LOCATION);
        return;
    }
    KKTracking::Error(KKTrackId, QStringLiteral("KKProcessErrorAccident"),
                      QStringLiteral("pipe status %1, error code %2").arg(m_pipeStatus).arg(int(error)), KK_LOCATION);
}

void VXKopkopManager::SlotKKProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    KK_ASSERT_OWNER_THREAD(this);
    // A crash is reported by errorOccurred as well (Crashed), and only once.
    if (m_pipeStatus == PipeStatusStarted && exitStatus == QProcess::NormalExit)
        FailedStart(QStringLiteral("KKProcessError"), QStringLiteral("exit code %1 before connecting").arg(exitCode),
                    KK_LOCATION);
}

void VXKopkopManager::SlotClientLeftBeforeConnecting()
{
    KK_ASSERT_OWNER_THREAD(this);
    // The server has already made both pipes afresh. A detached client can be noticed no other way.
    if (m_pipeStatus != PipeStatusStarted)
        return;
    StopChild();
    FailedStart(QStringLiteral("KKProcessError"), QStringLiteral("the client left the write pipe before opening the read pipe"),
                KK_LOCATION);
}

void VXKopkopManager::SlotConnectTimeout()
{
    KK_ASSERT_OWNER_THREAD(this);
    if (m_pipeStatus != PipeStatusStarted)
        return;
    StopChild();
    FailedStart(QStringLiteral("KKConnectTimeout"), QStringLiteral("no connection within %1 ms").arg(m_connectTimer.interval()),
                KK_LOCATION);
}

void VXKopkopManager::StopChild()
{
    if (!m_pProcess || m_pProcess->state() == QProcess::NotRunning)
        return;
    // No client of ours any more: it must neither linger nor connect later, and what it reports
    // while it ends is of no interest.
    m_pProcess->disconnect(this);
    m_pProcess->kill();
}

void VXKopkopManager::SlotPipesReady()
{
    KK_ASSERT_OWNER_THREAD(this);
    if (m_pendingLaunch.isEmpty())
        return;
    const QString path = m_pendingLaunch;
    m_pendingLaunch.clear();
    if (m_pipeStatus == PipeStatusIdle)
        StartKopKop(path);
}

void VXKopkopManager::SlotPipesUnavailable()
{
    KK_ASSERT_OWNER_THREAD(this);
    // Only a launch that waited is told: a host that asked for nothing hears of it when it does.
    if (m_pendingLaunch.isEmpty())
        return;
    m_pendingLaunch.clear();
    KKTracking::Error(KKTrackId, QStringLiteral("StartKopKopError"),
                      QStringLiteral("the pipes cannot be created under their names, the client is not started"), KK_LOCATION);
    emit SigExecuteError(InstallText());
}

void VXKopkopManager::FailedStart(const QString& code, const QString& text, const QString& location)
{
    m_connectTimer.stop();
    m_pipeStatus = PipeStatusIdle;
    // Whatever the failed client left in the pipes (a half connection, a connection not yet
    // reported) is dropped, so the next client finds them waiting.
    if (m_pPipeServer)
        m_pPipeServer->PrepareForClient();
    KKTracking::Error(KKTrackId, code, text, location);
    emit SigExecuteError(InstallText());
}

int VXKopkopManager::ConfigInt(const QString& key, int defaultValue, int minimum, int maximum) const
{
    YRRouterProtocol router(ConfigObjectServiceUri);
    IConfigService* config = dynamic_cast<IConfigService*>(router.GetObj());
    if (!config)
        return defaultValue;
    bool ok = false;
    const qint64 value = config->GetStringValue(key, QString()).trimmed().toLongLong(&ok);
    return ok && value >= minimum && value <= maximum ? int(value) : defaultValue;
}

QString VXKopkopManager::InstallText() const
{
    YRRouterProtocol router(ConfigObjectServiceUri);
    IConfigService* config = dynamic_cast<IConfigService*>(router.GetObj());
    const QString configured = config ? config->GetStringValue(KopkopDownloadUrlKey, QString()).trimmed() : QString();
    const QString page = configured.isEmpty() ? QString::fromLatin1(kDefaultDownloadPage) : configured;
    return tr("cant't start kk, please install VX from %1, then retry.").arg(page);
}

// ---------------------------------------------------------------------------------------------
// Outbound commands and the pending cache

bool VXKopkopManager::CheckKKConnected(const MessageBuilder& keep)
{
    KK_ASSERT_OWNER_THREAD(this);
    switch (m_pipeStatus) {
    case PipeStatusIdle:
        if (keep)
            m_msgCache.append(keep());
        ExecuteKK(false);
        return false;
    case PipeStatusStarted:
        if (keep)
            m_msgCache.append(keep());
        return false;
    case PipeStatusConnected:
        if (!m_isReady) {
            if (keep)
                m_msgCache.append(keep());
            Login();
            return false;
        }
        return true;
    default:
        return true;
    }
}

void VXKopkopManager::CacheMsg(const QSharedPointer<VXProcessMessage>& msg)
{
    if (msg)
        m_msgCache.append(msg);
}

bool VXKopkopManager::GuardedCheck(const MessageBuilder& keep)
{
    VXKKData* kkData = IGeneralData::Instance()->GetKKData();
    kkData->SetChangeStatus(kkData->GetStartupStatus() != KK_Status_Unset);
    return CheckKKConnected(keep);
}

void VXKopkopManager::SendMsgAfterReady()
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("Send cached messages to Kopkop"));
    if (!m_pPipeServer)
        return;
    while (!m_msgCache.isEmpty()) {
        const QSharedPointer<VXProcessMessage> message = m_msgCache.takeFirst();
        m_pPipeServer->AsyncWriteData(message->ToString().toUtf8());
    }
}

bool VXKopkopManager::SendCommand(const QString& command)
{
    KK_ASSERT_OWNER_THREAD(this);
    if (m_pPipeServer && m_pipeStatus != PipeStatusIdle)
        return m_pPipeServer->AsyncWriteData(command.toUtf8());
    return false;
}

void VXKopkopManager::ChangeSetting(const KKSettingEntity& setting)
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("Change Setting"));
    if (m_pWrapper && m_pipeStatus != PipeStatusIdle)
        m_pWrapper->ChangeSetting(setting);
}

void VXKopkopManager::ChangeSkin(const QString& skin)
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("Change kopkop skin"));
    if (m_pWrapper)
        m_pWrapper->ChangeSkin(skin);
}

void VXKopkopManager::ChangeStatus(KK_Status status)
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("Change Kopkop status"));
    if (!m_pWrapper)
        return;
    VXKKData* kkData = IGeneralData::Instance()->GetKKData();
    if (kkData->GetStatus() == status)
        return;
    kkData->SetStartupStatus(status);
    kkData->SetChangeStatus(true);
    if (CheckKKConnected(nullptr))
        m_pWrapper->ChangeStatus(status);
}

void VXKopkopManager::Login()
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("Login"));
    if (!m_pWrapper || !m_pPipeServer)
        return;
    if (!m_pPipeServer->IsConnected()) {
        m_isReady = false;
        return;
    }
    m_pWrapper->Login();
}

void VXKopkopManager::NotifyHasNewVersion()
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("Notify has new version"));
    if (m_pWrapper)
        m_pWrapper->NotifyHasNewVersion();
}

void VXKopkopManager::OpenBaseInfoSettingWindow()
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("OpenBaseInfoSettingWindow"));
    if (m_pWrapper)
        m_pWrapper->OpenBaseInfoSettingWindow();
}

void VXKopkopManager::OpenKKGroup(const QString& first, const QString& second)
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("OpenKKGroup"));
    if (m_pWrapper && GuardedCheck([&] { return MakeOpenKKGroupMessage(first, second); }))
        m_pWrapper->OpenKKGroup(first, second);
}

void VXKopkopManager::OpenKKWindow(const QString& pin, KK_UserType userType, const QString& appId,
                                   const QString& businessData)
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("OpenKKWindow,strPin=%1,userType=%2,strAppId=%3,businessData=%4")
                             .arg(pin, QString::number(int(userType)), appId, businessData));
    if (!m_pWrapper)
        return;
    const bool connected = GuardedCheck([&] { return MakeOpenKKWindowMessage(pin, userType, appId, businessData); });
    LogHelper::Trace(QLatin1String(kMainCategory),
                     KK_LOCATION + QStringLiteral("CheckKKConnected = %1").arg(connected ? 1 : 0));
    if (connected)
        m_pWrapper->OpenKKWindow(pin, userType, appId, businessData);
}

void VXKopkopManager::OpenKKWorkbench(const QString& value)
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("OpenKKWorkbench"));
    if (m_pWrapper && GuardedCheck([&] { return MakeOpenKKWorkbenchMessage(value); }))
        m_pWrapper->OpenKKWorkbench(value);
}

void VXKopkopManager::ShowUnreadMessageList(bool flag, int a, int b, int c, int d)
{
    KK_ASSERT_OWNER_THREAD(this);
    LogInfo(KK_LOCATION, QStringLiteral("ShowUnreadMessageList"));
    if (m_pWrapper)
        m_pWrapper->ShowUnreadMessageList(flag, a, b, c, d);
}

// ---------------------------------------------------------------------------------------------
// Inbound dispatch

void VXKopkopManager::SlotReadData(const QByteArray& data)
{
    KK_ASSERT_OWNER_THREAD(this);
    // The payload as text, up to its first NUL byte if it has one.
    const QString text = QString::fromUtf8(data.constData(), int(qstrnlen(data.constData(), uint(data.size()))));
    const QSharedPointer<VXProcessMessage> message = VXProcessMessage::CreateFromString(text);
    if (!message) {
        // The length and the first bytes say enough; a whole payload of any size in one record
        // would cost the host several times that size again.
        const QString quote = text.size() > kInvalidMessageQuote ? text.left(kInvalidMessageQuote) + QStringLiteral("...") : text;
        KKTracking::Error(KKTrackId, QStringLiteral("KopkopInvalidMessage"),
                          QStringLiteral("%1 bytes: %2").arg(data.size()).arg(quote), KK_LOCATION);
        return;
    }
    if (!m_pCallback)
        return;

    const QString name = message->GetName();
    const QList<QVariant>& args = message->GetArgs();
    if (name == QLatin1String("StartupCompleted")) {
        if (!args.isEmpty()) {
            const uint value = args[0].toUInt();
            const QString version = args.size() >= 2 ? args[1].toString() : QString();
            // Ready first, then what was kept goes out, then the host hears of it: everything
            // cached before the start-up report reaches the client before the host reacts.
            m_isReady = true;
            SendMsgAfterReady();
            m_pCallback->OnStartupCompleted(value, version);
        }
        return;
    }
    const KKInboundRoute* route = KKInboundRoute::Find(name);
    if (!route) {
        KKTracking::Error(KKTrackId, QStringLiteral("KopkopUnknownMessage"), name, KK_LOCATION);
        return;
    }
    if (args.size() >= route->fewestArgs)
        route->call(m_pCallback, args);
}
