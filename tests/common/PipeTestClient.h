#pragma once

// The chat client's side of one pipe, for tests: opens a pipe by name through the Win32 layer's
// client calls, writes messages and reads messages or frames with time limits (overlapped I/O
// with a bounded wait, so a test never hangs on a pipe that stays silent).

#include "PlatformKKWrapper/VXPipeFrame.h"
#include "win32layer/Win32Api.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <vector>

class PipeTestClient
{
public:
    PipeTestClient() { m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~PipeTestClient()
    {
        Close();
        CloseHandle(m_event);
    }
    PipeTestClient(const PipeTestClient&) = delete;
    PipeTestClient& operator=(const PipeTestClient&) = delete;

    // Opens the pipe in message-read mode. Returns ERROR_SUCCESS or the Windows error code.
    DWORD Open(const QString& name)
    {
        Close();
        std::vector<wchar_t> wide(size_t(name.size()) + 1);
        wide[size_t(name.toWCharArray(wide.data()))] = L'\0';
        m_pipe = CreateFileW(wide.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        if (m_pipe == INVALID_HANDLE_VALUE) {
            m_pipe = nullptr;
            return GetLastError();
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!SetNamedPipeHandleState(m_pipe, &mode, nullptr, nullptr)) {
            const DWORD error = GetLastError();
            Close();
            return error;
        }
        return ERROR_SUCCESS;
    }

    bool IsOpen() const { return m_pipe != nullptr; }

    void Close()
    {
        if (m_pipe)
            CloseHandle(m_pipe);
        m_pipe = nullptr;
    }

    // One WriteFile: one pipe message. Waits up to `timeoutMs` for it to be written.
    bool Write(const QByteArray& bytes, int timeoutMs = 30000)
    {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = m_event;
        DWORD written = 0;
        if (WriteFile(m_pipe, bytes.constData(), DWORD(bytes.size()), &written, &overlapped))
            return written == DWORD(bytes.size());
        if (GetLastError() != ERROR_IO_PENDING)
            return false;
        return Finish(&overlapped, timeoutMs, &written) && written == DWORD(bytes.size());
    }

    bool WriteFrame(const QByteArray& payload) { return Write(VXPipeFrame::Pack(payload)); }

    // Reads one whole pipe message. False on time-out or error (LastError() says which).
    bool ReadMessage(QByteArray* message, int timeoutMs = 30000)
    {
        message->clear();
        char buffer[4096];
        for (;;) {
            OVERLAPPED overlapped = {};
            overlapped.hEvent = m_event;
            DWORD read = 0;
            BOOL ok = ReadFile(m_pipe, buffer, sizeof(buffer), &read, &overlapped);
            DWORD error = ok ? ERROR_SUCCESS : GetLastError();
            if (!ok && error == ERROR_MORE_DATA) {
                // A partial read that completed at once: its count is in the OVERLAPPED.
                GetOverlappedResult(m_pipe, &overlapped, &read, FALSE);
            } else if (!ok && error == ERROR_IO_PENDING) {
                ok = Finish(&overlapped, timeoutMs, &read);
                error = ok ? ERROR_SUCCESS : m_lastError;
            }
            if (ok || error == ERROR_MORE_DATA)
                message->append(buffer, int(read));
            if (ok)
                return true;
            if (error != ERROR_MORE_DATA) {
                m_lastError = error;
                return false;
            }
        }
    }

    // Reads until `count` frames have arrived; returns their payloads (fewer on time-out).
    QList<QByteArray> ReadFrames(int count, int timeoutMs = 30000)
    {
        QElapsedTimer timer;
        timer.start();
        while (m_frames.size() < count) {
            const int left = int(timeoutMs - timer.elapsed());
            QByteArray message;
            if (left <= 0 || !ReadMessage(&message, left))
                break;
            VXPipeFrame::Reassemble(m_stream, message.constData(), message.size(),
                                    [this](const QByteArray& payload) { m_frames.append(payload); });
        }
        QList<QByteArray> out = m_frames.mid(0, count);
        m_frames = m_frames.mid(out.size());
        return out;
    }

    DWORD LastError() const { return m_lastError; }
    HANDLE Handle() const { return m_pipe; }

private:
    // Waits for a pending operation; on time-out cancels it and waits for the cancellation.
    bool Finish(OVERLAPPED* overlapped, int timeoutMs, DWORD* transferred)
    {
        if (WaitForSingleObject(m_event, DWORD(timeoutMs)) != WAIT_OBJECT_0) {
            CancelIoEx(m_pipe, overlapped);
            GetOverlappedResult(m_pipe, overlapped, transferred, TRUE);
            m_lastError = WAIT_TIMEOUT;
            return false;
        }
        if (GetOverlappedResult(m_pipe, overlapped, transferred, FALSE))
            return true;
        m_lastError = GetLastError();
        return false;
    }

    HANDLE m_pipe = nullptr;
    HANDLE m_event = nullptr;
    DWORD m_lastError = ERROR_SUCCESS;
    QByteArray m_stream;
    QList<QByteArray> m_frames;
};
