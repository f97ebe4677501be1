#include "simulator/KKStdinLines.h"

#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>

#if defined(Q_OS_WIN)
#include <thread>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
constexpr int kChunkSize = 4096;  // bytes per read()
}

KKStdinLines::KKStdinLines(QObject* parent) : QObject(parent) {}

#if defined(Q_OS_WIN)

// Windows cannot wait for a console or a pipe in an event loop the way a socket notifier waits
// for fd 0: a thread of its own reads the lines and hands each to this object's thread. It is
// left running when the program ends, blocked in its read (the process ends it).
void KKStdinLines::Start()
{
    if (m_started || m_finished)
        return;
    m_started = true;
    QPointer<KKStdinLines> self(this);
    std::thread([self] {
        char chunk[kChunkSize];
        while (std::fgets(chunk, sizeof chunk, stdin)) {
            const QByteArray bytes(chunk);
            QMetaObject::invokeMethod(self, [self, bytes] { if (self) self->Take(bytes); }, Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(self, [self] { if (self) self->Finish(); }, Qt::QueuedConnection);
    }).detach();
}

void KKStdinLines::OnReadable() {}

#else

void KKStdinLines::Start()
{
    if (m_notifier || m_finished)
        return;
    if (::fcntl(STDIN_FILENO, F_GETFD) < 0) {
        QMetaObject::invokeMethod(this, [this] { Finish(); }, Qt::QueuedConnection);
        return;
    }
    m_notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &KKStdinLines::OnReadable);
}

void KKStdinLines::OnReadable()
{
    char chunk[kChunkSize];
    const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;  // the notifier fires again
    if (count <= 0) {
        Finish();
        return;
    }
    Take(QByteArray(chunk, int(count)));
}

#endif

void KKStdinLines::Take(const QByteArray& bytes)
{
    m_pending.append(bytes);
    int start = 0;
    for (int newline = m_pending.indexOf('\n'); newline >= 0; newline = m_pending.indexOf('\n', start)) {
        QByteArray line = m_pending.mid(start, newline - start);
        if (line.endsWith('\r'))
            line.chop(1);
        start = newline + 1;
        emit Line(QString::fromUtf8(line));
    }
    m_pending.remove(0, start);
}

void KKStdinLines::Finish()
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_notifier)
        m_notifier->setEnabled(false);  // at end of input it would fire for ever
    if (!m_pending.isEmpty()) {
        emit Line(QString::fromUtf8(m_pending));
        m_pending.clear();
    }
    emit Finished();
}
