#pragma once

// The chat-client processes of a test, found by the pids the simulators log, checked and killed by
// pid (a zombie counts as gone: it is only not yet reaped); and the host that launches them.

#include "PlatformKKWrapper/VXKopkopManager.h"
#include "YRBase/VXConfigService.h"
#include "YRBase/YRRouterProtocol.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>

#if defined(Q_OS_WIN)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <csignal>
#endif

// What the simulators logged to `log` (one JSON object a line), in order.
inline QList<QJsonObject> LoggedEvents(const QString& log)
{
    QList<QJsonObject> events;
    QFile file(log);
    for (const QByteArray& line : file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>())
        events.append(QJsonDocument::fromJson(line).object());
    return events;
}

inline QList<qint64> StartedClients(const QString& log)
{
    QList<qint64> pids;
    for (const QJsonObject& event : LoggedEvents(log)) {
        if (event.value(QStringLiteral("event")).toString() == QLatin1String("start"))
            pids.append(qint64(event.value(QStringLiteral("pid")).toDouble()));
    }
    return pids;
}

inline bool IsProcessAlive(qint64 pid)
{
#if defined(Q_OS_WIN)
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    const bool alive = process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    return process ? CloseHandle(process) && alive : false;
#else
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
#endif
}

// At once, without a word, as Linux's SIGKILL does.
inline bool KillProcess(qint64 pid)
{
#if defined(Q_OS_WIN)
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    const bool killed = process && TerminateProcess(process, 1);
    return process ? CloseHandle(process) && killed : false;
#else
    return ::kill(pid_t(pid), SIGKILL) == 0;
#endif
}

inline QList<qint64> LiveClients(const QString& log)
{
    QList<qint64> pids = StartedClients(log);
    pids.erase(std::remove_if(pids.begin(), pids.end(), [](qint64 pid) { return !IsProcessAlive(pid); }), pids.end());
    return pids;
}

// The host's configuration service, registered where the module looks for it, in a directory of
// its own that also holds the log of every client started meanwhile.
struct SimulatorHost
{
    QTemporaryDir dir;
    VXConfigService config{dir.filePath(QStringLiteral("host.json"))};

    SimulatorHost()
    {
        YRRouterProtocol::Register(QStringLiteral("vx://config/object/service"), &config);
        qputenv("KOPKOP_SIM_LOG", Log().toUtf8());
    }
    ~SimulatorHost()
    {
        YRRouterProtocol::Unregister(QStringLiteral("vx://config/object/service"));
        qunsetenv("KOPKOP_SIM_LOG");
    }
    QString Log() const { return dir.filePath(QStringLiteral("client.jsonl")); }
    // The host's configuration, for the module's next Initialize() to read.
    void WriteSettings(const QJsonObject& settings)
    {
        QFile file(config.GetFilePath());
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(QJsonDocument(settings).toJson());
    }
    // The host's module, with `settings` in its configuration and `callback`.
    VXKopkopManager* Module(const QJsonObject& settings, IKKCallbackInterface* callback)
    {
        WriteSettings(settings);
        VXKopkopManager* manager = VXKopkopManager::Instance();
        manager->SetKKCallback(callback);
        manager->Initialize();
        return manager;
    }
};
