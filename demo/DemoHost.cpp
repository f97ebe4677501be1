#include "DemoHost.h"

#include "PlatformKKWrapper/VXKopkopManager.h"
#include "VXCore/VXCodeTracking.h"
#include "VXCore/VXGlobalData.h"
#include "VXCore/VXTcpManager.h"
#include "VXFoundation/LogHelper.h"
#include "VXFrameData/IGeneralData.h"
#include "VXFrameData/VXKKData.h"
#include "YRBase/VXConfigService.h"
#include "YRBase/YRRouterProtocol.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <cerrno>
#include <cstdio>

#if defined(Q_OS_WIN)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <thread>
#else
#include <csignal>
#include <unistd.h>
#endif

namespace {

const char kConfigUri[] = "vx://config/object/service";
const int kStepTimeoutMs = 20000;

// What the simulated client does once connected, the first time it is started: the events a
// real chat client sends while a seller works.
const char kClientScript[] =
    "# events the demo's chat client sends after its start-up\n"
    "sleep 200\n"
    "send UnreadMessageChanged i:3\n"
    "send OpenUrl s:https://vx.example.com/orders/42 b:true\n"
    "send TrayIconAction b:true s:click i:1\n"
    "send ShowMessageBox s:\"New order from buyer_0815\" u:0\n";

#if defined(Q_OS_WIN)
bool ProcessExists(qint64 pid)
{
    const HANDLE process = pid > 0 ? OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid)) : nullptr;
    if (!process)
        return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

// What a crash is to the module: the process ends at once, without closing anything itself.
bool Crash(qint64 pid)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    const bool done = process && TerminateProcess(process, 1);
    if (process)
        CloseHandle(process);
    return done;
}
const char kCrashCommand[] = "TerminateProcess";
#else
bool ProcessExists(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

bool Crash(qint64 pid)
{
    return ::kill(pid_t(pid), SIGKILL) == 0;
}
const char kCrashCommand[] = "kill -9";
#endif

}  // namespace

DemoHost::DemoHost(const Options& options, QObject* parent)
    : QObject(parent), m_options(options), m_callback(&m_timeline)
{
    connect(&m_callback, &DemoCallback::Called, this, [this](const QString& name) {
        m_callbacks.append(name);
        if (name == QLatin1String("OnStartupCompleted"))
            ++m_startups;
        emit Happened();
    });
}

DemoHost::~DemoHost()
{
    VXKopkopManager::ReleaseInstance();
    if (m_trackingObserver)
        VXCodeTracking::RemoveObserver(m_trackingObserver);
    YRRouterProtocol::Unregister(QLatin1String(kConfigUri));
}

bool DemoHost::SetUp()
{
    if (!QFileInfo(m_options.clientPath).isExecutable()) {
        m_timeline.Print(QStringLiteral("demo"), QStringLiteral("no chat client at %1").arg(m_options.clientPath));
        return false;
    }

    // The host's configuration file, read by the configuration service the module looks up.
    QJsonObject config{{"kopkop_executable", m_options.clientPath},
                       {"pc_start_kk_use_vxprocess_switch", !m_options.detached}};
    const QString configPath = m_dir.filePath(QStringLiteral("host.json"));
    QFile file(configPath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(config).toJson());
    file.close();
    m_config.reset(new VXConfigService(configPath));
    YRRouterProtocol::Register(QLatin1String(kConfigUri), m_config.get());

    // The logged-in seller, as the host knows it.
    VXGlobalData::Instance()->SetPin(QStringLiteral("seller_01"));
    VXGlobalData::Instance()->SetAppVersion("5.2.1");
    VXTcpManager::Default()->SetLoginValues(QStringLiteral("session-a"), QStringLiteral("session-b"), "token");
    IGeneralData::Instance()->GetKKData()->SetStartupStatus(KK_Status_Online);

    // The module's log goes to a file; its tracking events are shown as they happen.
    LogHelper::SetLogFile(m_dir.filePath(QStringLiteral("host.log")));
    m_trackingObserver = VXCodeTracking::AddObserver([this](const VXCodeTracking::Record& record) {
        if (record.code == QLatin1String("KKCrashTooManyTimes"))
            ++m_refusals;
        const bool interesting = record.level != QLatin1String("Info") || record.code == QLatin1String("ExecuteKK") ||
                                 record.code.startsWith(QLatin1String("StartKopKop"));
        if (interesting)
            m_timeline.Print(QStringLiteral("tracking"), QStringLiteral("%1 %2 %3 \"%4\"")
                                                             .arg(record.level, -5)
                                                             .arg(record.trackId, record.code, record.text));
        emit Happened();
    });

    QStringList clientOptions;
    if (m_options.quietClient)
        clientOptions << QStringLiteral("--quiet");
    qputenv("KOPKOP_SIM_OPTIONS", clientOptions.join(QLatin1Char(' ')).toUtf8());
    const QString scriptPath = m_dir.filePath(QStringLiteral("client-script.txt"));
    QFile script(scriptPath);
    if (script.open(QIODevice::WriteOnly))
        script.write(kClientScript);
    script.close();
    if (!m_options.interactive)
        qputenv("KOPKOP_SIM_SCRIPT", scriptPath.toUtf8());
    // What the client received, so the tour can show it arrived.
    qputenv("KOPKOP_SIM_LOG", m_dir.filePath(QStringLiteral("client-log.jsonl")).toUtf8());

    m_manager = VXKopkopManager::Instance();
    m_manager->SetKKCallback(&m_callback);
    WatchModule();
    m_manager->Initialize();
    m_timeline.Print(QStringLiteral("host"), QStringLiteral("module initialised; the client will be launched %1")
                                                 .arg(m_options.detached ? QStringLiteral("detached")
                                                                         : QStringLiteral("as a child VXProcess")));
    return true;
}

void DemoHost::WatchModule()
{
    connect(m_manager, &VXKopkopManager::SigShowLoading, this, [this] {
        m_timeline.Print(QStringLiteral("signal"), QStringLiteral("SigShowLoading: the client is being launched"));
        emit Happened();
    });
    connect(m_manager, &VXKopkopManager::SigKopkopConnected, this, [this] {
        ++m_connected;
        m_timeline.Print(QStringLiteral("signal"), QStringLiteral("SigKopkopConnected: the client's pipes are connected"));
        emit Happened();
    });
    connect(m_manager, &VXKopkopManager::SigExecutePending, this, [this](const QString& text) {
        m_timeline.Print(QStringLiteral("signal"), QStringLiteral("SigExecutePending(\"%1\")").arg(text));
        emit Happened();
    });
    connect(m_manager, &VXKopkopManager::SigExecuteError, this, [this](const QString& text) {
        ++m_executeErrors;
        m_timeline.Print(QStringLiteral("signal"), QStringLiteral("SigExecuteError(\"%1\")").arg(text));
        emit Happened();
    });
}

bool DemoHost::WaitUntil(const std::function<bool()>& done, int timeoutMs, const QString& what)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto check = connect(this, &DemoHost::Happened, &loop, [&] {
        if (done())
            loop.quit();
    });
    timeout.start(timeoutMs);
    loop.exec();
    disconnect(check);
    if (done())
        return true;
    m_timeline.Print(QStringLiteral("tour"), QStringLiteral("!! %1 did not happen within %2 ms").arg(what).arg(timeoutMs));
    m_failed = true;
    return false;
}

QStringList DemoHost::ClientReceived() const
{
    QStringList names;
    QFile log(m_dir.filePath(QStringLiteral("client-log.jsonl")));
    if (!log.open(QIODevice::ReadOnly))
        return names;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (event.value(QStringLiteral("event")).toString() == QLatin1String("received"))
            names.append(event.value(QStringLiteral("text")).toString());
    }
    return names;
}

bool DemoHost::WaitForClientToReceive(const QString& text)
{
    // The client's log is a file, not an event the host hears of: look now and then.
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, &DemoHost::Happened);
    poll.start(50);
    const bool received = WaitUntil([this, text] { return ClientReceived().join(QLatin1Char('\n')).contains(text); },
                                    kStepTimeoutMs, QStringLiteral("the client's receipt of %1").arg(text));
    if (received)
        m_timeline.Print(QStringLiteral("client"), QStringLiteral("has received %1").arg(text));
    return received;
}

bool DemoHost::Step(const QString& title)
{
    std::printf("\n");
    m_timeline.Print(QStringLiteral("tour"), QStringLiteral("--- %1. %2").arg(++m_step).arg(title));
    return !m_failed;
}

bool DemoHost::KillClient()
{
    const qint64 pid = m_callback.LastStartupValue();
    if (pid <= 0)
        return false;
    m_timeline.Print(QStringLiteral("host"),
                     QStringLiteral("%1 %2 (the chat client crashes)").arg(QLatin1String(kCrashCommand)).arg(pid));
    return Crash(pid);
}

int DemoHost::RunTour()
{
    if (Step(QStringLiteral("Requests made before any client runs are kept; the first one launches the client"))) {
        m_manager->OpenKKWindow(QStringLiteral("Buyer_0815"), KK_UserType_Customer, QStringLiteral("app-7"),
                                QStringLiteral("{\"orderId\":42}"));
        m_timeline.Print(QStringLiteral("host"), QStringLiteral("OpenKKWindow(\"Buyer_0815\") -> kept, client launched"));
        m_manager->OpenKKGroup(QStringLiteral("group-9"), QString());
        m_timeline.Print(QStringLiteral("host"), QStringLiteral("OpenKKGroup(\"group-9\") -> kept"));
        m_manager->OpenKKWorkbench(QStringLiteral("orders"));
        m_timeline.Print(QStringLiteral("host"), QStringLiteral("OpenKKWorkbench(\"orders\") -> kept"));
    }

    if (Step(QStringLiteral("The client connects and reports its start-up; the kept requests go out in order first"))) {
        WaitUntil([this] { return m_connected >= 1; }, kStepTimeoutMs, QStringLiteral("the connection"));
        WaitUntil([this] { return m_startups >= 1; }, kStepTimeoutMs, QStringLiteral("the start-up report"));
        if (WaitForClientToReceive(QStringLiteral("\"JsOpenKKWorkbench\"")))
            m_timeline.Print(QStringLiteral("client"), QStringLiteral("received, in this order: %1")
                                                           .arg(ClientReceived().join(QStringLiteral(", "))));
    }

    if (Step(QStringLiteral("The client sends events; each reaches the host's callback"))) {
        WaitUntil([this] { return m_callbacks.contains(QStringLiteral("OnShowMessageBox")); }, kStepTimeoutMs,
                  QStringLiteral("the client's events"));
        qunsetenv("KOPKOP_SIM_SCRIPT");  // restarted clients just start up
    }

    if (Step(QStringLiteral("A request and its answer: the host changes the status, the client confirms"))) {
        m_manager->ChangeStatus(KK_Status_Busy);
        m_timeline.Print(QStringLiteral("host"), QStringLiteral("ChangeStatus(KK_Status_Busy)"));
        WaitUntil([this] { return m_callbacks.contains(QStringLiteral("OnChangeStatus")); }, kStepTimeoutMs,
                  QStringLiteral("the status confirmation"));
    }

    for (int crash = 1; crash <= 2; ++crash) {
        if (Step(QStringLiteral("The client crashes (%1 of 3 within a minute); the module restarts it on the same pipes")
                     .arg(crash))) {
            const int startups = m_startups;
            KillClient();
            WaitUntil([this, startups] { return m_startups > startups; }, kStepTimeoutMs,
                      QStringLiteral("the restarted client's start-up"));
        }
    }

    if (Step(QStringLiteral("A third crash within the minute: the module does not restart the client"))) {
        KillClient();
        WaitUntil([this] { return m_refusals >= 1; }, kStepTimeoutMs, QStringLiteral("the refusal"));
    }

    if (Step(QStringLiteral("The host asks again: a request launches the client anew and is delivered"))) {
        const int startups = m_startups;
        m_manager->OpenKKWindow(QStringLiteral("buyer_0816"), KK_UserType_Customer, QStringLiteral("app-7"), QString());
        m_timeline.Print(QStringLiteral("host"), QStringLiteral("OpenKKWindow(\"buyer_0816\") -> kept, client launched"));
        WaitUntil([this, startups] { return m_startups > startups; }, kStepTimeoutMs, QStringLiteral("the new start-up"));
        WaitForClientToReceive(QStringLiteral("buyer_0816"));
    }

    if (Step(QStringLiteral("The host releases the module; the client sees its pipes go and exits by itself"))) {
        const qint64 pid = m_callback.LastStartupValue();
        VXKopkopManager::ReleaseInstance();
        m_manager = nullptr;
        m_timeline.Print(QStringLiteral("host"), QStringLiteral("VXKopkopManager::ReleaseInstance()"));
        // Nor is the client's exit: look now and then.
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, &DemoHost::Happened);
        poll.start(50);
        WaitUntil([pid] { return !ProcessExists(pid); }, kStepTimeoutMs, QStringLiteral("the client's exit"));
        if (!ProcessExists(pid))
            m_timeline.Print(QStringLiteral("host"), QStringLiteral("client %1 has exited").arg(pid));
    }

    std::printf("\n");
    m_timeline.Print(QStringLiteral("tour"), m_failed ? QStringLiteral("the tour did not complete")
                                                      : QStringLiteral("done: every step happened as described"));
    return m_failed ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Interactive console

void DemoHost::StartConsole()
{
    PrintHelp();
#if defined(Q_OS_WIN)
    // No event-loop notifier for a console on Windows: a reader thread hands each line over. It is
    // left blocked in its read when the demo ends.
    std::thread([this] {
        char buffer[4096];
        while (std::fgets(buffer, sizeof(buffer), stdin)) {
            const QString line = QString::fromUtf8(buffer).trimmed();
            QMetaObject::invokeMethod(this, [this, line] { TakeConsoleLine(line); }, Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    }).detach();
#else
    m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_stdin, &QSocketNotifier::activated, this, &DemoHost::ReadConsoleLine);
#endif
    std::printf("> ");
    std::fflush(stdout);
}

void DemoHost::ReadConsoleLine()
{
    char buffer[4096];
    if (!std::fgets(buffer, sizeof(buffer), stdin)) {
        m_stdin->setEnabled(false);
        QCoreApplication::quit();
        return;
    }
    TakeConsoleLine(QString::fromUtf8(buffer).trimmed());
}

void DemoHost::TakeConsoleLine(const QString& line)
{
    RunCommand(line);
    std::printf("> ");
    std::fflush(stdout);
}

void DemoHost::PrintHelp()
{
    std::printf(
        "Commands (callbacks and signals are shown as they come):\n"
        "  start                      ExecuteKK(false): prepare and launch the client\n"
        "  open <pin> [app] [data]    OpenKKWindow\n"
        "  group <first> [second]     OpenKKGroup\n"
        "  workbench <text>           OpenKKWorkbench\n"
        "  status <0-6>               ChangeStatus\n"
        "  skin <name>                ChangeSkin\n"
        "  login                      Login\n"
        "  unread <flag> <a> <b> <c> <d>  ShowUnreadMessageList\n"
        "  newversion                 NotifyHasNewVersion\n"
        "  profile                    OpenBaseInfoSettingWindow\n"
        "  send <text>                SendCommand with a raw text (e.g. a message text form)\n"
        "  kill                       kill -9 the client (the module restarts it)\n"
        "  help, quit\n");
}

void DemoHost::RunCommand(const QString& line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return;
    const QString command = words[0];
    const auto arg = [&words](int i) { return words.value(i); };
    if (!m_manager && command != QLatin1String("quit") && command != QLatin1String("help")) {
        std::printf("the module was released\n");
        return;
    }
    if (command == QLatin1String("start"))
        m_manager->ExecuteKK(false);
    else if (command == QLatin1String("open"))
        m_manager->OpenKKWindow(arg(1), KK_UserType_Customer, arg(2), arg(3));
    else if (command == QLatin1String("group"))
        m_manager->OpenKKGroup(arg(1), arg(2));
    else if (command == QLatin1String("workbench"))
        m_manager->OpenKKWorkbench(arg(1));
    else if (command == QLatin1String("status"))
        m_manager->ChangeStatus(KK_Status(arg(1).toInt()));
    else if (command == QLatin1String("skin"))
        m_manager->ChangeSkin(arg(1));
    else if (command == QLatin1String("login"))
        m_manager->Login();
    else if (command == QLatin1String("unread"))
        m_manager->ShowUnreadMessageList(arg(1) == QLatin1String("1") || arg(1) == QLatin1String("true"),
                                         arg(2).toInt(), arg(3).toInt(), arg(4).toInt(), arg(5).toInt());
    else if (command == QLatin1String("newversion"))
        m_manager->NotifyHasNewVersion();
    else if (command == QLatin1String("profile"))
        m_manager->OpenBaseInfoSettingWindow();
    else if (command == QLatin1String("send"))
        std::printf("%s\n", m_manager->SendCommand(line.section(QLatin1Char(' '), 1)) ? "queued" : "not sent: no client");
    else if (command == QLatin1String("kill"))
        std::printf("%s\n", KillClient() ? "killed" : "no client known");
    else if (command == QLatin1String("help"))
        PrintHelp();
    else if (command == QLatin1String("quit"))
        QCoreApplication::quit();
    else
        std::printf("unknown command; try help\n");
}
