#pragma once

// The chat-client processes of a test: found by the pids the simulator writes into its log (every
// client records a "start" event with its pid), checked and killed by pid. On Linux they can
// also be found by the UUID in the pipe names every client of one manager carries on its command
// line (/proc). Zombies count as gone: they are only not yet reaped.

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>

#if defined(Q_OS_WIN)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <QDir>
#include <csignal>
#include <sys/types.h>
#endif

// The pids of every client that logged its start in `simulatorLog`, in order.
inline QList<qint64> StartedClients(const QString& simulatorLog)
{
    QList<qint64> pids;
    QFile log(simulatorLog);
    if (!log.open(QIODevice::ReadOnly))
        return pids;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (event.value(QStringLiteral("event")).toString() == QLatin1String("start"))
            pids.append(qint64(event.value(QStringLiteral("pid")).toDouble()));
    }
    return pids;
}

inline bool IsProcessAlive(qint64 pid)
{
#if defined(Q_OS_WIN)
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
#else
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
#endif
}

// What Linux's SIGKILL is: the process ends at once, without a word.
inline bool KillProcess(qint64 pid)
{
#if defined(Q_OS_WIN)
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool killed = TerminateProcess(process, 1) != FALSE;
    CloseHandle(process);
    return killed;
#else
    return ::kill(pid_t(pid), SIGKILL) == 0;
#endif
}

inline QList<qint64> LiveClients(const QString& simulatorLog)
{
    QList<qint64> live;
    for (qint64 pid : StartedClients(simulatorLog)) {
        if (IsProcessAlive(pid))
            live.append(pid);
    }
    return live;
}

#if !defined(Q_OS_WIN)
inline QList<qint64> ProcessesMentioning(const QString& text)
{
    QList<qint64> pids;
    const QByteArray needle = text.toUtf8();
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(needle) && IsProcessAlive(pid))
            pids.append(pid);
    }
    return pids;
}

// Kills them all; returns how many there were.
inline int KillProcessesMentioning(const QString& text)
{
    const QList<qint64> pids = ProcessesMentioning(text);
    for (qint64 pid : pids)
        KillProcess(pid);
    return pids.size();
}
#endif
