#include "RawTransport.h"

#include "FrameCounter.h"
#include "ProcessProbe.h"

#include <QElapsedTimer>
#include <QUuid>

#include <condition_variable>
#include <future>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

QByteArray MakeFrame(int payloadSize)
{
    QByteArray frame(4 + payloadSize, 'x');
    for (int i = 0; i < 4; ++i)
        frame[i] = char(unsigned(payloadSize) >> (8 * i));
    return frame;
}

// Lets a thread start only when the driver says so (after the counters are attached to it).
class StartGate
{
public:
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

}  // namespace

RawTransport::RawTransport(Kind kind) : m_kind(kind)
{
    if (kind == SocketPair) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) != 0)
            m_fds[0] = m_fds[1] = -1;
        return;
    }
    const QString name = QStringLiteral("\\\\.\\pipe\\kkbench_") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    std::vector<wchar_t> wide(size_t(name.size()) + 1);
    wide[size_t(name.toWCharArray(wide.data()))] = L'\0';
    // The module's pipe parameters: overlapped duplex message pipe, one instance, 2048-byte buffers.
    m_server = CreateNamedPipeW(wide.data(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 2048, 2048, 0, nullptr);
    if (m_server == INVALID_HANDLE_VALUE)
        return;
    m_client = CreateFileW(wide.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (m_client != INVALID_HANDLE_VALUE)
        SetNamedPipeHandleState(m_client, &mode, nullptr, nullptr);
    m_serverEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

RawTransport::~RawTransport()
{
    for (int fd : m_fds) {
        if (fd >= 0)
            ::close(fd);
    }
    if (m_client != INVALID_HANDLE_VALUE)
        CloseHandle(m_client);
    if (m_server != INVALID_HANDLE_VALUE)
        CloseHandle(m_server);
    if (m_serverEvent)
        CloseHandle(m_serverEvent);
}

bool RawTransport::IsOpen() const
{
    return m_kind == SocketPair ? m_fds[0] >= 0 : (m_server != INVALID_HANDLE_VALUE && m_client != INVALID_HANDLE_VALUE);
}

QString RawTransport::KindName(Kind kind)
{
    return kind == SocketPair ? QStringLiteral("socket pair") : QStringLiteral("Win32 layer pipe");
}

bool RawTransport::WriteAll(bool fromFirst, const char* data, int size)
{
    if (m_kind == SocketPair) {
        const int fd = m_fds[fromFirst ? 0 : 1];
        while (size > 0) {
            const ssize_t written = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
            if (written <= 0)
                return false;
            data += written;
            size -= int(written);
        }
        return true;
    }
    DWORD written = 0;
    return WriteFile(fromFirst ? m_server : m_client, data, DWORD(size), &written, nullptr) != FALSE;
}

int RawTransport::ReadSome(bool intoFirst, char* buffer, int size)
{
    if (m_kind == SocketPair) {
        const ssize_t read = ::recv(m_fds[intoFirst ? 0 : 1], buffer, size_t(size), 0);
        return read > 0 ? int(read) : -1;
    }
    DWORD read = 0;
    if (!intoFirst) {
        // The client end is synchronous: a message longer than the buffer comes in pieces.
        const BOOL ok = ReadFile(m_client, buffer, DWORD(size), &read, nullptr);
        return ok || GetLastError() == ERROR_MORE_DATA ? int(read) : -1;
    }
    // The server end is overlapped, as the module's.
    OVERLAPPED overlapped = {};
    overlapped.hEvent = m_serverEvent;
    BOOL ok = ReadFile(m_server, buffer, DWORD(size), &read, &overlapped);
    if (!ok && (GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA))
        ok = GetOverlappedResult(m_server, &overlapped, &read, TRUE);
    return ok || GetLastError() == ERROR_MORE_DATA ? int(read) : -1;
}

double RawTransport::OneWay(int count, int payloadSize, int readSize, Cost* cost, bool countSyscalls)
{
    if (!IsOpen())
        return -1;
    const QByteArray frame = MakeFrame(payloadSize);
    std::promise<qint64> writerTidPromise;
    std::future<qint64> writerTidFuture = writerTidPromise.get_future();
    StartGate gate;
    // Each side times its own CPU: the writer may have ended (and left /proc) by the time the
    // reader has counted the last frame.
    double writerCpu = 0;
    std::thread writer([&] {
        writerTidPromise.set_value(ProcessProbe::CurrentThreadId());
        gate.Wait();
        const double cpu0 = ProcessProbe::ThreadCpuSeconds();
        for (int i = 0; i < count; ++i) {
            if (!WriteAll(true, frame.constData(), frame.size()))
                break;
        }
        writerCpu = ProcessProbe::ThreadCpuSeconds() - cpu0;
    });
    const qint64 writerTid = writerTidFuture.get();

    const qint64 readerTid = ProcessProbe::CurrentThreadId();
    std::unique_ptr<SyscallCounter> writerCalls, readerCalls;
    if (countSyscalls) {
        writerCalls.reset(new SyscallCounter(writerTid, true));
        readerCalls.reset(new SyscallCounter(readerTid, true));
    }
    const double readerCpu0 = ProcessProbe::ThreadCpuSeconds();

    std::vector<char> buffer(static_cast<size_t>(readSize));
    FrameCounter counter;
    QElapsedTimer clock;
    clock.start();
    gate.Open();
    while (counter.Frames() < count) {
        const int read = ReadSome(false, buffer.data(), readSize);
        if (read < 0)
            break;
        counter.Feed(buffer.data(), read);
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    const double readerCpu = ProcessProbe::ThreadCpuSeconds() - readerCpu0;
    writer.join();
    if (cost) {
        cost->writerCpuSeconds = writerCpu;
        cost->readerCpuSeconds = readerCpu;
    }
    if (cost && countSyscalls) {
        cost->writerSyscalls = writerCalls->Stop();
        cost->readerSyscalls = readerCalls->Stop();
    }
    return counter.Frames() == count ? seconds : -1;
}

QVector<double> RawTransport::RoundTrips(int samples, int payloadSize)
{
    QVector<double> results;
    if (!IsOpen())
        return results;
    const QByteArray frame = MakeFrame(payloadSize);
    std::thread echo([&] {
        std::vector<char> buffer(65536);
        for (int i = 0; i < samples; ++i) {
            FrameCounter counter;
            while (counter.Frames() < 1) {
                const int read = ReadSome(false, buffer.data(), int(buffer.size()));
                if (read < 0)
                    return;
                counter.Feed(buffer.data(), read);
            }
            if (!WriteAll(false, frame.constData(), frame.size()))
                return;
        }
    });
    std::vector<char> buffer(65536);
    results.reserve(samples);
    QElapsedTimer clock;
    for (int i = 0; i < samples; ++i) {
        clock.start();
        if (!WriteAll(true, frame.constData(), frame.size()))
            break;
        FrameCounter counter;
        while (counter.Frames() < 1) {
            const int read = ReadSome(true, buffer.data(), int(buffer.size()));
            if (read < 0)
                break;
            counter.Feed(buffer.data(), read);
        }
        results.append(clock.nsecsElapsed() / 1000.0);
    }
    echo.join();
    return results;
}

namespace {

// Reads exactly one frame (length, then payload) into `buffer`, blocking; false at the end.
bool ReadOneFrame(int fd, char* buffer, size_t capacity)
{
    size_t have = 0;
    size_t want = 4;
    while (have < want) {
        const ssize_t got = ::recv(fd, buffer + have, want - have, 0);
        if (got <= 0)
            return false;
        have += size_t(got);
        if (have == 4) {
            const auto* p = reinterpret_cast<const unsigned char*>(buffer);
            want = 4 + (size_t(p[0]) | size_t(p[1]) << 8 | size_t(p[2]) << 16 | size_t(p[3]) << 24);
            if (want > capacity)
                return false;
        }
    }
    return true;
}

bool SendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= size_t(sent);
    }
    return true;
}

}  // namespace

QVector<double> RawTransport::ProcessRoundTrips(int samples, int payloadSize)
{
    QVector<double> results;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return results;
    const QByteArray frame = MakeFrame(payloadSize);
    const pid_t child = ::fork();
    if (child == 0) {
        // The echo side: nothing but system calls on a buffer of its own, then _exit.
        ::close(fds[0]);
        static char buffer[65536];
        while (ReadOneFrame(fds[1], buffer, sizeof buffer) &&
               SendAll(fds[1], buffer, 4 + size_t(payloadSize))) {
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    if (child > 0) {
        std::vector<char> buffer(65536);
        results.reserve(samples);
        QElapsedTimer clock;
        for (int i = 0; i < samples; ++i) {
            clock.start();
            if (!SendAll(fds[0], frame.constData(), size_t(frame.size())) ||
                !ReadOneFrame(fds[0], buffer.data(), buffer.size()))
                break;
            results.append(clock.nsecsElapsed() / 1000.0);
        }
    }
    ::close(fds[0]);  // the child reads the end and leaves
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    return results;
}
