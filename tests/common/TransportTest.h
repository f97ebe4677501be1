#pragma once

// What the transport suites share: fresh pipe names, payloads in which a lost or shifted byte
// shows, and a client that reads slowly.

#include "win32layer/Win32Api.h"

#include <QByteArray>
#include <QString>
#include <QUuid>

#include <atomic>
#include <chrono>
#include <thread>

const int kLong = 30000;  // ms: generous limits for a loaded machine

inline QString UniquePipeName(const QString& prefix = QStringLiteral("kktest"))
{
    return QStringLiteral("\\\\.\\pipe\\%1_%2").arg(prefix, QUuid::createUuid().toString(QUuid::WithoutBraces));
}

inline QByteArray Pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    char* data = bytes.data();
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 131 + i / 256 + 17) & 0xFF);
    return bytes;
}

// A frame's length field as the protocol has it: 4 bytes, little-endian.
inline QByteArray RawLength(quint32 length)
{
    return QByteArray(1, char(length)) + char(length >> 8) + char(length >> 16) + char(length >> 24);
}

// Reads `total` bytes off a client's `pipe` in its own thread, 16 KiB at a time with a pause after
// each (about a second for 4 MiB), so that a large write stays pending meanwhile. A std::thread:
// its join is what ThreadSanitizer sees ordering the reader's writes before the test's reads.
class SlowReader
{
public:
    SlowReader(HANDLE pipe, qint64 total) : m_thread([this, pipe, total] { Run(pipe, total); }) {}
    ~SlowReader()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    QByteArray Join()
    {
        m_thread.join();
        return m_received;
    }
    qint64 Taken() const { return m_taken; }

private:
    void Run(HANDLE pipe, qint64 total)
    {
        const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        char chunk[16384];
        while (m_taken < total) {
            OVERLAPPED overlapped = {};
            overlapped.hEvent = event;
            DWORD read = 0;
            DWORD error = ReadFile(pipe, chunk, sizeof chunk, &read, &overlapped) ? ERROR_SUCCESS : GetLastError();
            if (error == ERROR_IO_PENDING || error == ERROR_MORE_DATA)
                error = GetOverlappedResult(pipe, &overlapped, &read, TRUE) ? ERROR_SUCCESS : GetLastError();
            if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA)
                break;  // the pipe failed: the test finds bytes missing
            m_received.append(chunk, int(read));
            m_taken += read;
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
        CloseHandle(event);
    }

    std::atomic<qint64> m_taken{0};
    QByteArray m_received;
    std::thread m_thread;  // last: starts once the rest exists
};
