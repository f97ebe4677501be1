#include "simulator/KKStdinLines.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr int kChunkSize = 4096;  // bytes per read()
}

KKStdinLines::KKStdinLines(QObject* parent) : QObject(parent) {}

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
    m_pending.append(chunk, int(count));
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
