#pragma once

#include "VXFoundation/VXLineWriter.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

// What the simulator tells the world: one JSON object per line in the log file (for tests and
// benchmarks, which read it while the simulator runs, so every line is flushed at once), and short
// human-readable lines on stderr, prefixed "kopkop-sim[<pid>]: ".
//
// A log line starts with the event's name and ends with the milliseconds since the log was made:
//
//     {"event":"received","args":[{"type":"i","value":2}],"name":"ChangeStatus","text":"...","ms":12}
//
// Used by the simulator's thread only.
class KKEventLog
{
public:
    KKEventLog();

    // Appends to `path` from now on; false, with the reason in `error`, if it cannot be opened.
    bool OpenFile(const QString& path, QString* error);
    void SetQuiet(bool quiet) { m_quiet = quiet; }

    void Record(const QString& event, const QJsonObject& fields = QJsonObject());
    void Say(const QString& text);
    // Whether Record() and Say() write anything: callers skip building what nobody reads.
    bool IsRecording() const { return m_file.IsActive(); }
    bool IsSpeaking() const { return !m_quiet; }
    // Say() for a problem: written even when quiet.
    void Complain(const QString& text);

    static QByteArray FormatLine(const QString& event, const QJsonObject& fields, qint64 ms);

private:
    void WriteStderr(const QString& text);

    VXLineWriter m_file;
    QElapsedTimer m_clock;
    QString m_prefix;
    bool m_quiet = false;
};
