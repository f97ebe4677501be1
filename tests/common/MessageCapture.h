#pragma once

// Collects Qt debug/warning messages from every thread while it exists (the transport writes its
// Windows-call failures as debug messages from its worker threads). Messages still go to the
// previous handler, so a failing test shows them.

#include <QStringList>
#include <QtGlobal>

#include <mutex>

class MessageCapture
{
public:
    MessageCapture()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Current() = this;
        m_previous = qInstallMessageHandler(&MessageCapture::Handler);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        std::lock_guard<std::mutex> lock(Mutex());
        Current() = nullptr;
    }
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    QStringList Messages() const
    {
        std::lock_guard<std::mutex> lock(Mutex());
        return m_messages;
    }
    int Count(const QString& text) const { return Messages().count(text); }
    bool Contains(const QString& text) const { return Messages().contains(text); }

private:
    static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        QtMessageHandler previous = nullptr;
        {
            std::lock_guard<std::mutex> lock(Mutex());
            if (Current()) {
                Current()->m_messages.append(message);
                previous = Current()->m_previous;
            }
        }
        if (previous)
            previous(type, context, message);
    }
    // A std::mutex rather than a QMutex: ThreadSanitizer sees it.
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static MessageCapture*& Current()
    {
        static MessageCapture* current = nullptr;
        return current;
    }

    QtMessageHandler m_previous = nullptr;
    QStringList m_messages;  // guarded by Mutex()
};
