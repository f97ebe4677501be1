#include "VXFoundation/LogHelper.h"

#include "VXFoundation/VXLineWriter.h"
#include "VXFoundation/VXObserverList.h"

#include <QThread>

#include <atomic>

#if defined(Q_OS_LINUX)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

struct LogState
{
    VXLineWriter writer;
    VXObserverList<LogHelper::Record> listeners;
    std::atomic<int> minimumLevel{LogHelper::LevelTrace};

    LogState()
    {
        const QString file = qEnvironmentVariable("VX_LOG_FILE");
        if (!file.isEmpty())
            writer.SetFile(file);
        writer.SetStderr(qEnvironmentVariableIntValue("VX_LOG_STDERR") == 1);
        const QString level = qEnvironmentVariable("VX_LOG_LEVEL").toLower();
        if (level == QLatin1String("info"))
            minimumLevel = LogHelper::LevelInfo;
        else if (level == QLatin1String("warn"))
            minimumLevel = LogHelper::LevelWarn;
        else if (level == QLatin1String("error"))
            minimumLevel = LogHelper::LevelError;
    }
};

// Created on first use and never destroyed: threads may still log while the process exits.
LogState& State()
{
    static LogState* state = new LogState;
    return *state;
}

const char* LevelName(LogHelper::Level level)
{
    switch (level) {
    case LogHelper::LevelTrace: return "TRACE";
    case LogHelper::LevelInfo: return "INFO ";
    case LogHelper::LevelWarn: return "WARN ";
    case LogHelper::LevelError: return "ERROR";
    }
    return "?    ";
}

QString CurrentThreadText()
{
#if defined(Q_OS_LINUX)
    QString text = QStringLiteral("tid %1").arg(long(::syscall(SYS_gettid)));
#else
    QString text = QStringLiteral("tid %1").arg(quintptr(QThread::currentThreadId()));
#endif
    QThread* thread = QThread::currentThread();
    if (thread && !thread->objectName().isEmpty())
        text += QLatin1Char(' ') + thread->objectName();
    return text;
}

void Write(LogHelper::Level level, const QString& category, const QString& text)
{
    LogState& state = State();
    if (level < state.minimumLevel.load(std::memory_order_relaxed))
        return;
    const bool active = state.writer.IsActive();
    const bool observed = !state.listeners.IsEmpty();
    if (!active && !observed)
        return;
    LogHelper::Record record{QDateTime::currentDateTime(), level, category, CurrentThreadText(), text};
    if (active)
        state.writer.WriteLine(LogHelper::FormatLine(record).toUtf8());
    if (observed)
        state.listeners.Notify(record);
}

}  // namespace

void LogHelper::Trace(const QString& category, const QString& text) { Write(LevelTrace, category, text); }
void LogHelper::Info(const QString& category, const QString& text) { Write(LevelInfo, category, text); }
void LogHelper::Warn(const QString& category, const QString& text) { Write(LevelWarn, category, text); }
void LogHelper::Error(const QString& category, const QString& text) { Write(LevelError, category, text); }

QString LogHelper::GetFileName(const QString& path)
{
    const int slash = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return slash < 0 ? path : path.mid(slash + 1);
}

bool LogHelper::SetLogFile(const QString& path) { return State().writer.SetFile(path); }
QString LogHelper::GetLogFile() { return State().writer.File(); }
void LogHelper::SetStderr(bool enabled) { State().writer.SetStderr(enabled); }
void LogHelper::SetMinimumLevel(Level level) { State().minimumLevel = level; }
int LogHelper::AddListener(Listener listener) { return State().listeners.Add(std::move(listener)); }
void LogHelper::RemoveListener(int id) { State().listeners.Remove(id); }

QString LogHelper::FormatLine(const Record& record)
{
    return QStringLiteral("%1 %2 [%3] [%4] %5")
        .arg(record.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")),
             QLatin1String(LevelName(record.level)), record.category, record.thread, record.text);
}
