#include "simulator/KKEventLog.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <cstdio>

KKEventLog::KKEventLog()
    : m_prefix(QStringLiteral("kopkop-sim[%1]: ").arg(QCoreApplication::applicationPid()))
{
    m_clock.start();
}

bool KKEventLog::OpenFile(const QString& path, QString* error)
{
    if (m_file.SetFile(path))
        return true;
    if (error)
        *error = QStringLiteral("cannot open the log file \"%1\"").arg(path);
    return false;
}

void KKEventLog::Record(const QString& event, const QJsonObject& fields)
{
    if (m_file.IsActive())
        m_file.WriteLine(FormatLine(event, fields, m_clock.elapsed()));
}

QByteArray KKEventLog::FormatLine(const QString& event, const QJsonObject& fields, qint64 ms)
{
    // QJsonObject sorts its keys; the event name is put first and the time last by hand, so
    // that the lines read well.
    QJsonObject rest = fields;
    rest.remove(QStringLiteral("event"));
    rest.remove(QStringLiteral("ms"));
    QByteArray line = QJsonDocument(QJsonObject{{QStringLiteral("event"), event}}).toJson(QJsonDocument::Compact);
    line.chop(1);  // the closing brace
    if (!rest.isEmpty())
        line += ',' + QJsonDocument(rest).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    line += ",\"ms\":" + QByteArray::number(ms) + '}';
    return line;
}

void KKEventLog::Say(const QString& text)
{
    if (!m_quiet)
        WriteStderr(text);
}

void KKEventLog::Complain(const QString& text)
{
    WriteStderr(text);
}

void KKEventLog::WriteStderr(const QString& text)
{
    const QByteArray line = (m_prefix + text).toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}
