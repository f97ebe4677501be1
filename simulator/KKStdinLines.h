#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Standard input as lines, without blocking the event loop. On POSIX a QSocketNotifier says when
// fd 0 has something, and exactly one read() follows, which then returns without waiting
// (whatever fd 0 is: a pipe, a terminal, a file); the descriptor's flags are left alone, since it
// may be shared with the parent's terminal. On Windows a reader thread hands the lines over.
//
// Threads: lives in and signals on the thread that creates it (which must run an event loop); on
// Windows the reader thread touches nothing but queued calls into it.
class KKStdinLines : public QObject
{
    Q_OBJECT
public:
    explicit KKStdinLines(QObject* parent = nullptr);

    // Starts reading. A closed or unusable stdin ends at once (Finished, queued).
    void Start();

signals:
    // One line, without its line break (LF or CRLF), decoded as UTF-8.
    void Line(QString line);
    // End of input; an unfinished last line has been delivered before.
    void Finished();

private slots:
    void OnReadable();

private:
    // Splits what arrived into lines.
    void Take(const QByteArray& bytes);
    void Finish();

    QSocketNotifier* m_notifier = nullptr;  // child
    QByteArray m_pending;  // bytes after the last line break
    bool m_started = false;
    bool m_finished = false;
};
