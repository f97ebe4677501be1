#pragma once

// The chat-client processes of one manager, found by the UUID in the pipe names that every client
// of that manager carries on its command line (Linux: /proc). Zombies are not counted: they are
// gone, only not yet reaped.

#include <QDir>
#include <QFile>
#include <QList>
#include <QString>

#include <csignal>
#include <sys/types.h>

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
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(needle)) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            if (stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z "))
                pids.append(pid);
        }
    }
    return pids;
}

// Kills them all; returns how many there were.
inline int KillProcessesMentioning(const QString& text)
{
    const QList<qint64> pids = ProcessesMentioning(text);
    for (qint64 pid : pids)
        ::kill(pid_t(pid), SIGKILL);
    return pids.size();
}
