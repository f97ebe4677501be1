#pragma once

#include "VXFoundation/VXFoundationExport.h"

#include <QDateTime>
#include <QString>

#include <functional>

// The host's log. One line per call:
//
//     2026-12-05 18:25:54.123 INFO  [main] [tid 4711 VXPipeSenderThread] text
//
// time (local, milliseconds), level, category, the calling thread (OS thread id and the
// QThread's object name, when it has one) and the text.
//
// Where lines go is the host's choice: a log file (SetLogFile) and/or stderr (SetStderr). Until
// the host says otherwise, the environment decides: VX_LOG_FILE names a file, VX_LOG_STDERR=1
// turns on stderr, VX_LOG_LEVEL (trace, info, warn, error) sets the lowest level written
// (default trace). Listeners see every line in-process, whatever the outputs are.
//
// All functions may be called from any thread.
class VXFOUNDATION_EXPORT LogHelper
{
public:
    enum Level { LevelTrace = 0, LevelInfo = 1, LevelWarn = 2, LevelError = 3 };

    struct Record
    {
        QDateTime time;
        Level level;
        QString category;
        QString thread;
        QString text;
    };
    using Listener = std::function<void(const Record&)>;

    static void Trace(const QString& category, const QString& text);
    static void Info(const QString& category, const QString& text);
    static void Warn(const QString& category, const QString& text);
    static void Error(const QString& category, const QString& text);

    // The last component of a path, with '/' or '\' as separators ("a/b\\c.cpp" -> "c.cpp").
    static QString GetFileName(const QString& path);

    // Appends lines to `path` from now on (an empty path stops writing to a file); false if the
    // file cannot be opened.
    static bool SetLogFile(const QString& path);
    static QString GetLogFile();
    static void SetStderr(bool enabled);
    static void SetMinimumLevel(Level level);

    // Listeners run on the logging thread; RemoveListener returning means it runs no more.
    static int AddListener(Listener listener);
    static void RemoveListener(int id);

    static QString FormatLine(const Record& record);
};
