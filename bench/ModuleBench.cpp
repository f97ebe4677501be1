#include "ModuleBench.h"

#include "FrameCounter.h"
#include "ProcessProbe.h"

#include "ManagerInspector.h"

#include "PlatformKKWrapper/VXKopkopManager.h"
#include "VXCore/VXGlobalData.h"
#include "YRBase/VXConfigService.h"
#include "YRBase/YRRouterProtocol.h"
#include "win32layer/Win32Api.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QProcess>
#include <QTimer>
#include <QUuid>

#include <csignal>
#include <thread>
#include <vector>

namespace {

const char kConfigUri[] = "vx://config/object/service";
// The message that makes the simulator's script send its next flood block.
const QString kFloodTrigger = QStringLiteral("[\"OpenBaseInfoSettingWindow\"]");

std::vector<wchar_t> Wide(const QString& text)
{
    std::vector<wchar_t> wide(size_t(text.size()) + 1);
    wide[size_t(text.toWCharArray(wide.data()))] = L'\0';
    return wide;
}

// Reads frames from a synchronous client pipe handle until `count` have arrived.
bool ReadFrames(HANDLE pipe, long long count)
{
    std::vector<char> buffer(65536);
    FrameCounter counter;
    while (counter.Frames() < count) {
        DWORD read = 0;
        if (!ReadFile(pipe, buffer.data(), DWORD(buffer.size()), &read, nullptr) && GetLastError() != ERROR_MORE_DATA)
            return false;
        counter.Feed(buffer.data(), int(read));
    }
    return true;
}

}  // namespace

ModuleBench::ModuleBench(Client client, const QString& clientPath, QObject* parent)
    : EndToEndBench(parent), m_client(client), m_simulator(clientPath)
{
    VXGlobalData::Instance()->SetAppVersion("5.2.1");
    VXGlobalData::Instance()->SetPin(QStringLiteral("seller_01"));
    m_config.reset(new VXConfigService(m_dir.filePath(QStringLiteral("host.json"))));
    Configure(true);
}

void ModuleBench::UseThisConfiguration()
{
    // The configuration service is one per process, found by its address, and the module reads it
    // at every launch: the bench that launches next registers its own.
    YRRouterProtocol::Register(QLatin1String(kConfigUri), m_config.get());
}

ModuleBench::~ModuleBench()
{
    delete m_manager;
    YRRouterProtocol::Unregister(QLatin1String(kConfigUri));
}

void ModuleBench::Configure(bool useVxProcess)
{
    QFile file(m_config->GetFilePath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(QJsonDocument(QJsonObject{{"kopkop_executable", m_simulator},
                                             {"pc_start_kk_use_vxprocess_switch", useVxProcess}})
                       .toJson());
    }
}

QString ModuleBench::PayloadMessage(const QString& name, int size)
{
    // ["<name>","s:<fill>"] is exactly `size` bytes of ASCII.
    const int frame = name.size() + 9;
    return QStringLiteral("[\"%1\",\"s:%2\"]").arg(name, QString(qMax(0, size - frame), QLatin1Char('x')));
}

VXKopkopManager* ModuleBench::NewManager()
{
    auto* manager = new VXKopkopManager;
    manager->SetKKCallback(this);
    manager->Initialize();
    return manager;
}

bool ModuleBench::Start(const FloodPlan& floods)
{
    UseThisConfiguration();
    if (m_client == Client::Lean) {
        m_manager = NewManager();
        const int startups = m_startups;
        m_manager->ExecuteKK(false);
        const bool started = Pump([&] { return m_startups > startups; }, kWaitMs);
        m_mainClientPid = m_clientPid;
        return started;
    }
    QString script;
    for (const auto& block : floods) {
        script += QStringLiteral("wait OpenBaseInfoSettingWindow 600000\nflood %1 %2\n")
                      .arg(block.first)
                      .arg(PayloadMessage(QStringLiteral("BaseInfoChanged"), block.second)
                               .replace(QStringLiteral("[\"BaseInfoChanged\",\"s:"), QStringLiteral("BaseInfoChanged s:"))
                               .chopped(2));
    }
    const QString scriptPath = m_dir.filePath(QStringLiteral("floods.txt"));
    QFile file(scriptPath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(script.toUtf8());
    file.close();
    qputenv("KOPKOP_SIM_OPTIONS", "--quiet");
    qputenv("KOPKOP_SIM_SCRIPT", scriptPath.toUtf8());

    m_manager = NewManager();
    const int startups = m_startups;
    m_manager->ExecuteKK(false);
    const bool started = Pump([&] { return m_startups > startups; }, kWaitMs);
    m_mainClientPid = m_clientPid;
    qunsetenv("KOPKOP_SIM_SCRIPT");  // other launches run without the flood plan
    return started;
}

void ModuleBench::OnStartupCompleted(unsigned int value, const QString&)
{
    m_clientPid = value;
    ++m_startups;
}

void ModuleBench::OnChangeStatus(int status)
{
    StatusReported(status);
}

void ModuleBench::OnBaseInfoChanged(const QString&)
{
    ++m_baseInfoCount;
}

void ModuleBench::RequestStatus(int status)
{
    m_manager->SendCommand(QStringLiteral("[\"ChangeStatus\",\"i:%1\"]").arg(status));
}

double ModuleBench::HostToClient(int count, int payloadSize, bool guarded, Cost* cost, bool countSyscalls)
{
    const QString text = PayloadMessage(QStringLiteral("NotifyChanged"), payloadSize);
    // ["OpenKKWindow","s:<pin>","i:0","s:","s:"] with a pin long enough for the same size.
    const QString pin(qMax(1, payloadSize - 37), QLatin1Char('b'));
    std::unique_ptr<SyscallCounter> hostCalls, clientCalls;
    if (countSyscalls) {
        hostCalls.reset(new SyscallCounter(QCoreApplication::applicationPid()));
        clientCalls.reset(new SyscallCounter(m_mainClientPid));
    }
    const double hostCpu0 = ProcessProbe::SelfCpuSeconds();
    const double clientCpu0 = ProcessProbe::CpuSeconds(m_mainClientPid);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        if (guarded)
            m_manager->OpenKKWindow(pin, KK_UserType_Customer, QString(), QString());
        else
            m_manager->SendCommand(text);
    }
    const bool delivered = Barrier();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (cost) {
        cost->hostCpuSeconds = ProcessProbe::SelfCpuSeconds() - hostCpu0;
        cost->clientCpuSeconds = ProcessProbe::CpuSeconds(m_mainClientPid) - clientCpu0;
        if (countSyscalls) {
            cost->hostSyscalls = hostCalls->Stop();
            cost->clientSyscalls = clientCalls->Stop();
        }
    }
    return delivered ? seconds : -1;
}

double ModuleBench::ClientToHost(int count, int payloadSize)
{
    const long long target = m_baseInfoCount + count;
    QElapsedTimer clock;
    clock.start();
    if (m_client == Client::Lean)
        m_manager->SendCommand(QStringLiteral("[\"Flood\",\"i:%1\",\"i:%2\"]").arg(count).arg(payloadSize));
    else
        m_manager->SendCommand(kFloodTrigger);
    if (!Pump([&] { return m_baseInfoCount >= target; }, kWaitMs))
        return -1;
    return clock.nsecsElapsed() / 1e9;
}

QVector<double> ModuleBench::LaunchToReady(int samples)
{
    UseThisConfiguration();
    QVector<double> results;
    for (int i = 0; i < samples; ++i) {
        VXKopkopManager* manager = NewManager();
        const int startups = m_startups;
        QElapsedTimer clock;
        clock.start();
        manager->ExecuteKK(false);
        if (Pump([&] { return m_startups > startups; }, kWaitMs))
            results.append(clock.nsecsElapsed() / 1e6);
        delete manager;  // its client sees the pipes go and exits
        ProcessProbe::WaitForExit(m_clientPid, kWaitMs);
    }
    return results;
}

QVector<double> ModuleBench::Restarts(int samples)
{
    UseThisConfiguration();
    QVector<double> results;
    while (results.size() < samples) {
        // A fresh manager for every two restarts: a third close within a minute is not restarted.
        VXKopkopManager* manager = NewManager();
        int startups = m_startups;
        manager->ExecuteKK(false);
        if (!Pump([&] { return m_startups > startups; }, kWaitMs)) {
            delete manager;
            break;
        }
        for (int restart = 0; restart < 2 && results.size() < samples; ++restart) {
            startups = m_startups;
            QElapsedTimer clock;
            clock.start();
            ::kill(pid_t(m_clientPid), SIGKILL);
            if (!Pump([&] { return m_startups > startups; }, kWaitMs))
                break;
            results.append(clock.nsecsElapsed() / 1e6);
        }
        delete manager;
        ProcessProbe::WaitForExit(m_clientPid, kWaitMs);
    }
    return results;
}

QVector<double> ModuleBench::BareSpawn(int samples)
{
    QVector<double> results;
    for (int i = 0; i < samples; ++i) {
        const QString uuid = QUuid::createUuid().toString();
        const QString writeName = QStringLiteral("\\\\.\\pipe\\writepipe_") + uuid;
        const QString readName = QStringLiteral("\\\\.\\pipe\\readpipe_") + uuid;
        const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
        const DWORD pipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
        HANDLE writePipe = CreateNamedPipeW(Wide(writeName).data(), openMode, pipeMode, 1, 2048, 2048, 0, nullptr);
        HANDLE readPipe = CreateNamedPipeW(Wide(readName).data(), openMode, pipeMode, 1, 2048, 2048, 0, nullptr);
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);

        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setProgram(m_simulator);
        process.setArguments({QStringLiteral("pipe?param=%1&%2").arg(writeName, readName), QStringLiteral("version=5.2.1"),
                              QStringLiteral("--quiet")});
        QElapsedTimer clock;
        clock.start();
        process.start();
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event;
        DWORD transferred = 0;
        bool ok = ConnectNamedPipe(readPipe, &overlapped) || GetLastError() == ERROR_PIPE_CONNECTED ||
                  (GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(event, kWaitMs) == WAIT_OBJECT_0 &&
                   GetOverlappedResult(readPipe, &overlapped, &transferred, FALSE));
        char buffer[2048];
        DWORD read = 0;
        overlapped = {};
        overlapped.hEvent = event;
        if (ok && !ReadFile(readPipe, buffer, sizeof(buffer), &read, &overlapped))
            ok = GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(event, kWaitMs) == WAIT_OBJECT_0 &&
                 GetOverlappedResult(readPipe, &overlapped, &read, FALSE);
        if (ok && read > 4)
            results.append(clock.nsecsElapsed() / 1e6);

        CloseHandle(readPipe);
        CloseHandle(writePipe);
        CloseHandle(event);
        process.waitForFinished(kWaitMs);  // the simulator leaves when its pipes go
    }
    return results;
}

qint64 ModuleBench::PeakMemoryWhileQueued(int count, int payloadSize, bool* allDelivered)
{
    UseThisConfiguration();
    *allDelivered = false;
    VXKopkopManager* manager = NewManager();
    VXKopkopManagerInspector inspect(manager);
    bool connected = false;
    connect(manager, &VXKopkopManager::SigKopkopConnected, this, [&] { connected = true; });
    // A client in this process opens the pipes, as kopkop-sim would, and does not read for now.
    HANDLE fromModule = CreateFileW(Wide(inspect.WritePipeName()).data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    HANDLE toModule = CreateFileW(Wide(inspect.ReadPipeName()).data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(fromModule, &mode, nullptr, nullptr);
    qint64 growth = -1;
    if (fromModule != INVALID_HANDLE_VALUE && toModule != INVALID_HANDLE_VALUE &&
        Pump([&] { return connected; }, kWaitMs)) {
        const QString text = PayloadMessage(QStringLiteral("NotifyChanged"), payloadSize);
        ProcessProbe::ReleaseFreeMemory();
        ProcessProbe::ResetPeak();
        const qint64 before = ProcessProbe::ResidentKiB();
        for (int i = 0; i < count; ++i)
            manager->SendCommand(text);
        growth = ProcessProbe::PeakResidentKiB() - before;
        // Now the client reads everything.
        bool delivered = false;
        std::thread reader([&] { delivered = ReadFrames(fromModule, count); });
        reader.join();
        *allDelivered = delivered;
    }
    delete manager;
    if (fromModule != INVALID_HANDLE_VALUE)
        CloseHandle(fromModule);
    if (toModule != INVALID_HANDLE_VALUE)
        CloseHandle(toModule);
    return growth;
}
