#pragma once

#include "VXCore/VXCoreExport.h"

#include <QDateTime>
#include <QString>

#include <functional>

// The host's tracking service: every call records one event.
//
// Each record is appended as one JSON line to the file the host names (SetOutputFile, or the
// VX_TRACKING_FILE environment variable until the host says otherwise):
//
//   {"code":"PipeServerInitError","extra":"","id":"746","level":"Error",
//    "location":"VXPipeServer.cpp[42] VXPipeServer::InitPipe ","text":"Pipe name length is too long",
//    "time":"2026-12-05T18:25:54.123+01:00","value":-99999}
//
// and handed to every observer in-process, with the six arguments exactly as passed. Any thread
// may record, observe and configure.
class VXCORE_EXPORT VXCodeTracking
{
public:
    struct Record
    {
        QDateTime time;
        QString level;  // "Info", "Warn" or "Error"
        QString trackId;
        QString code;
        QString text;
        int value;
        QString extra;
        QString location;
    };
    using Observer = std::function<void(const Record&)>;

    static void Info(const QString& trackId, const QString& code, const QString& text, int value,
                     const QString& extra, const QString& location);
    static void Warn(const QString& trackId, const QString& code, const QString& text, int value,
                     const QString& extra, const QString& location);
    static void Error(const QString& trackId, const QString& code, const QString& text, int value,
                      const QString& extra, const QString& location);

    static bool SetOutputFile(const QString& path);
    static QString GetOutputFile();
    // Observers run on the recording thread; RemoveObserver returning means it runs no more.
    static int AddObserver(Observer observer);
    static void RemoveObserver(int id);

    static QByteArray ToJsonLine(const Record& record);
};
