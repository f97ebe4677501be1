// A thread that waits for a pending read drives it itself: it polls the pipe's sockets and completes
// the read in its own thread, so the reactor thread is not on the path (see Event and WaitSource).
//
// What is checked here:
// - with the reactor thread held up, reads still complete for every way of waiting, for several
//   pipes waited on at once, and when the own handle is closed, the peer leaves or the server
//   disconnects under the waiting thread;
// - with the reactor running, the two race for the same data many times and every message arrives
//   once, whole and in order;
// - the reactor takes the reads over that no thread drives any more: never waited for, after a wait
//   timed out or was ended by another event, behind a driven read that was cancelled;
// - no socket is left open afterwards.
//
// Built with the layer linked in (Win32LayerInProcess), so that a test can hold the layer's own
// reactor thread inside a callback.

#include "Event.h"
#include "HandleTable.h"
#include "LayerSupport.h"
#include "Reactor.h"
#include "WaitSource.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace w32layertest;

namespace {

constexpr DWORD kLongWaitMs = 60000;
constexpr DWORD kMessagePipe = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;

// Owns a HANDLE.
class Owned {
public:
    Owned() = default;
    explicit Owned(HANDLE handle) : handle_(handle) {}
    ~Owned() { reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    Owned& operator=(Owned&& other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }

    HANDLE get() const { return handle_; }
    void reset()
    {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

Owned makeEvent(bool manualReset = true) { return Owned(CreateEventW(nullptr, manualReset, FALSE, nullptr)); }

// An overlapped duplex message pipe with a client; the client in message-read mode, overlapped or not.
struct Pair {
    Owned server;
    Owned client;
};

Pair connectPair(const char* tag, bool overlappedClient = true)
{
    const std::wstring name = uniqueName(tag);
    Pair pair;
    pair.server = Owned(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, kMessagePipe, 1, 0, 0, 0,
                                         nullptr));
    EXPECT_NE(pair.server.get(), INVALID_HANDLE_VALUE) << GetLastError();
    pair.client = Owned(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    overlappedClient ? FILE_FLAG_OVERLAPPED : 0, nullptr));
    EXPECT_NE(pair.client.get(), INVALID_HANDLE_VALUE) << GetLastError();
    DWORD mode = PIPE_READMODE_MESSAGE;
    EXPECT_TRUE(SetNamedPipeHandleState(pair.client.get(), &mode, nullptr, nullptr)) << GetLastError();
    return pair;
}

// A synchronous write; it completes in the calling thread as long as the socket has room.
void writeMessage(HANDLE pipe, const std::string& data)
{
    OVERLAPPED overlapped = {};
    Owned event = makeEvent();
    overlapped.hEvent = event.get();
    DWORD written = 0;
    BOOL ok = WriteFile(pipe, data.data(), static_cast<DWORD>(data.size()), &written, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(pipe, &overlapped, &written, TRUE);
    EXPECT_TRUE(ok) << GetLastError();
    EXPECT_EQ(written, data.size());
}

std::string messageFor(int index)
{
    // Some longer than the readers' 256-byte buffer: those arrive in pieces (ERROR_MORE_DATA).
    const size_t size = static_cast<size_t>((index * 97) % 600);
    std::string message(size, '\0');
    for (size_t i = 0; i < size; ++i)
        message[i] = static_cast<char>('a' + (index + i) % 26);
    return message;
}

size_t openSockets()
{
    size_t sockets = 0;
    for (const std::string& entry : listDirectory("/proc/self/fd")) {
        char target[64] = {};
        const std::string path = "/proc/self/fd/" + entry;
        if (::readlink(path.c_str(), target, sizeof target - 1) > 0 && std::string(target).rfind("socket:", 0) == 0)
            ++sockets;
    }
    return sockets;
}

// Holds the layer's reactor thread inside a callback of ours until release(): meanwhile only the
// waiting threads themselves can complete a read. A test that needed the reactor would hang; after
// kLimit the park lets go by itself and remembers it (expired), and the test fails.
class ReactorPark {
public:
    static constexpr std::chrono::seconds kLimit{30};

    ReactorPark()
    {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_), 0);
        reactor_ = win32layer::Reactor::instance();
        registration_ = reactor_->add(fds_[0], EPOLLIN | EPOLLET, blocker_);
        EXPECT_NE(registration_, 0u);
        EXPECT_EQ(::send(fds_[1], "p", 1, MSG_NOSIGNAL), 1);
        std::unique_lock<std::mutex> lock(blocker_->mutex);
        blocker_->changed.wait(lock, [this] { return blocker_->parked; });
    }
    ~ReactorPark()
    {
        release();
        reactor_->remove(registration_, fds_[0]);
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    ReactorPark(const ReactorPark&) = delete;
    ReactorPark& operator=(const ReactorPark&) = delete;

    void release()
    {
        std::lock_guard<std::mutex> lock(blocker_->mutex);
        blocker_->released = true;
        blocker_->changed.notify_all();
    }
    bool expired() const
    {
        std::lock_guard<std::mutex> lock(blocker_->mutex);
        return blocker_->expired;
    }

private:
    // Runs on the reactor thread; the test thread waits for `parked` and sets `released`.
    struct Blocker final : win32layer::IoSource {
        void onIoReady(uint64_t, uint32_t) override
        {
            std::unique_lock<std::mutex> lock(mutex);
            parked = true;
            changed.notify_all();
            if (!changed.wait_for(lock, kLimit, [this] { return released; }))
                expired = true;
        }
        std::mutex mutex;  // guards the flags below
        std::condition_variable changed;
        bool parked = false;
        bool released = false;
        bool expired = false;
    };

    std::shared_ptr<Blocker> blocker_ = std::make_shared<Blocker>();
    win32layer::Reactor* reactor_ = nullptr;
    uint64_t registration_ = 0;
    int fds_[2] = {-1, -1};
};

// The ways a thread waits for a pending read.
enum class Style {
    WaitForSingleObject,             // on hEvent
    WaitBehindAnotherEvent,          // WaitForMultipleObjects, hEvent second
    GetOverlappedResultWithEvent,    // bWait TRUE, hEvent set
    GetOverlappedResultWithoutEvent, // bWait TRUE, no hEvent: the handle's own event
    SynchronousReadFile,             // a handle opened without FILE_FLAG_OVERLAPPED
};

const char* styleName(Style style)
{
    switch (style) {
    case Style::WaitForSingleObject: return "WaitForSingleObject";
    case Style::WaitBehindAnotherEvent: return "WaitBehindAnotherEvent";
    case Style::GetOverlappedResultWithEvent: return "GetOverlappedResultWithEvent";
    case Style::GetOverlappedResultWithoutEvent: return "GetOverlappedResultWithoutEvent";
    case Style::SynchronousReadFile: return "SynchronousReadFile";
    }
    return "?";
}

// Reads one whole message (in pieces if it is longer than the buffer), waiting in `style`.
// `pending` (if any) is set each time a read has gone pending, just before the wait starts.
class StyledReader {
public:
    StyledReader(HANDLE pipe, Style style, HANDLE pending) : pipe_(pipe), style_(style), pending_(pending) {}

    bool readMessage(std::string* message)
    {
        message->clear();
        for (;;) {
            char buffer[256];
            DWORD got = 0;
            DWORD error = ERROR_SUCCESS;
            if (!readOnce(buffer, sizeof buffer, &got, &error))
                return false;
            message->append(buffer, got);
            if (error == ERROR_SUCCESS)
                return true;
        }
    }

    // One ReadFile and its wait. *error: ERROR_SUCCESS or ERROR_MORE_DATA when true; the failure
    // when false.
    bool readOnce(char* buffer, DWORD capacity, DWORD* got, DWORD* error)
    {
        if (style_ == Style::SynchronousReadFile) {
            if (pending_ != nullptr)
                SetEvent(pending_);
            const BOOL ok = ReadFile(pipe_, buffer, capacity, got, nullptr);
            *error = ok ? ERROR_SUCCESS : GetLastError();
            return ok || *error == ERROR_MORE_DATA;
        }
        OVERLAPPED overlapped = {};
        if (style_ != Style::GetOverlappedResultWithoutEvent)
            overlapped.hEvent = event_.get();
        BOOL ok = ReadFile(pipe_, buffer, capacity, got, &overlapped);
        *error = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && *error == ERROR_MORE_DATA) {
            // Finished at once, but with an OVERLAPPED the count comes from GetOverlappedResult.
            ok = GetOverlappedResult(pipe_, &overlapped, got, FALSE);
            *error = ok ? ERROR_SUCCESS : GetLastError();
        } else if (!ok && *error == ERROR_IO_PENDING) {
            if (pending_ != nullptr)
                SetEvent(pending_);
            switch (style_) {
            case Style::WaitForSingleObject:
                EXPECT_EQ(WaitForSingleObject(event_.get(), kLongWaitMs), WAIT_OBJECT_0);
                break;
            case Style::WaitBehindAnotherEvent: {
                HANDLE both[2] = {other_.get(), event_.get()};
                EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, kLongWaitMs), WAIT_OBJECT_0 + 1);
                break;
            }
            default:
                break;
            }
            // Waits here for the two GetOverlappedResult styles; only reads the result otherwise.
            const BOOL wait = style_ == Style::GetOverlappedResultWithEvent || style_ == Style::GetOverlappedResultWithoutEvent;
            ok = GetOverlappedResult(pipe_, &overlapped, got, wait);
            *error = ok ? ERROR_SUCCESS : GetLastError();
            if (!ok && *error == ERROR_IO_INCOMPLETE) {
                CancelIoEx(pipe_, &overlapped);  // the wait failed; do not leave the OVERLAPPED in use
                GetOverlappedResult(pipe_, &overlapped, got, TRUE);
            }
        }
        return ok || *error == ERROR_MORE_DATA;
    }

private:
    const HANDLE pipe_;
    const Style style_;
    const HANDLE pending_;
    Owned event_ = makeEvent();
    Owned other_ = makeEvent();  // never set
};

// Reads `count` messages on one thread while this one writes them, one at a time.
void pingMessages(HANDLE reader, HANDLE writer, Style style, int count)
{
    Owned pending = makeEvent(false);
    Owned consumed = makeEvent(false);
    std::vector<std::string> received;
    std::thread thread([&] {
        StyledReader styled(reader, style, pending.get());
        for (int i = 0; i < count; ++i) {
            std::string message;
            if (!styled.readMessage(&message)) {
                ADD_FAILURE() << "message " << i << ": error " << GetLastError();
                break;
            }
            received.push_back(message);
            SetEvent(consumed.get());
        }
    });
    for (int i = 0; i < count; ++i) {
        // Written once the reader waits for it (or, for a synchronous read, is about to): the read
        // has gone pending and the waiting thread must complete it.
        if (WaitForSingleObject(pending.get(), kLongWaitMs) != WAIT_OBJECT_0)
            break;
        writeMessage(writer, messageFor(i));
        if (WaitForSingleObject(consumed.get(), kLongWaitMs) != WAIT_OBJECT_0)
            break;
    }
    thread.join();
    ASSERT_EQ(received.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(received[i], messageFor(i)) << "message " << i;
}

class DirectWait : public ::testing::Test {
protected:
    TempRuntimeDir runtime_;
};

class DirectWaitStyles : public DirectWait, public ::testing::WithParamInterface<Style> {};

TEST_P(DirectWaitStyles, WaitingThreadCompletesReadsWhileTheReactorIsHeldUp)
{
    const size_t socketsBefore = openSockets();
    {
        const bool synchronous = GetParam() == Style::SynchronousReadFile;
        Pair pair = connectPair("parked", !synchronous);
        // The synchronous style reads on the (non-overlapped) client, the others on the server.
        HANDLE reader = synchronous ? pair.client.get() : pair.server.get();
        HANDLE writer = synchronous ? pair.server.get() : pair.client.get();
        ReactorPark park;
        pingMessages(reader, writer, GetParam(), 50);
        park.release();
        EXPECT_FALSE(park.expired()) << "a read waited for the reactor thread";
    }
    EXPECT_EQ(openSockets(), socketsBefore);
}

// The reactor runs too: for each message it may see the data first, or the waiting thread may.
// Either way each message must arrive exactly once, whole and in order.
TEST_P(DirectWaitStyles, RacingTheReactorLosesNothing)
{
    const bool synchronous = GetParam() == Style::SynchronousReadFile;
    Pair pair = connectPair("race", !synchronous);
    HANDLE reader = synchronous ? pair.client.get() : pair.server.get();
    HANDLE writer = synchronous ? pair.server.get() : pair.client.get();
    pingMessages(reader, writer, GetParam(), 2000);
}

INSTANTIATE_TEST_SUITE_P(DirectWait, DirectWaitStyles,
                         ::testing::Values(Style::WaitForSingleObject, Style::WaitBehindAnotherEvent,
                                           Style::GetOverlappedResultWithEvent, Style::GetOverlappedResultWithoutEvent,
                                           Style::SynchronousReadFile),
                         [](const ::testing::TestParamInfo<Style>& info) { return std::string(styleName(info.param)); });

// One thread waits for the reads of three pipes at once and is woken by whichever gets data; with
// data on two, the lower index wins and the other read is still there for the next wait.
TEST_F(DirectWait, OneThreadWaitsForTheReadsOfSeveralPipes)
{
    constexpr int kPipes = 3;
    std::vector<Pair> pairs;
    std::vector<Owned> events;
    std::vector<HANDLE> handles;
    OVERLAPPED reads[kPipes] = {};
    char buffers[kPipes][64];
    for (int i = 0; i < kPipes; ++i) {
        pairs.push_back(connectPair("several"));
        events.push_back(makeEvent());
        handles.push_back(events.back().get());
        reads[i].hEvent = handles[i];
    }
    auto startRead = [&](int i) {
        DWORD got = 0;
        ASSERT_FALSE(ReadFile(pairs[i].server.get(), buffers[i], sizeof buffers[i], &got, &reads[i]));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    };
    for (int i = 0; i < kPipes; ++i)
        startRead(i);

    ReactorPark park;
    for (int round = 0; round < kPipes; ++round) {
        const int target = (round + 1) % kPipes;
        DWORD result = WAIT_FAILED;
        Owned waiting = makeEvent();
        std::thread waiter([&] {
            SetEvent(waiting.get());
            result = WaitForMultipleObjects(kPipes, handles.data(), FALSE, kLongWaitMs);
        });
        ASSERT_EQ(WaitForSingleObject(waiting.get(), kLongWaitMs), WAIT_OBJECT_0);
        writeMessage(pairs[target].client.get(), "to " + std::to_string(target));
        waiter.join();
        EXPECT_EQ(result, WAIT_OBJECT_0 + target);
        DWORD got = 0;
        EXPECT_TRUE(GetOverlappedResult(pairs[target].server.get(), &reads[target], &got, FALSE)) << GetLastError();
        EXPECT_EQ(std::string(buffers[target], got), "to " + std::to_string(target));
        ResetEvent(handles[target]);
        startRead(target);
    }

    // Data for pipes 2 and 1 before the wait: index 1 first, then 2.
    writeMessage(pairs[2].client.get(), "two");
    writeMessage(pairs[1].client.get(), "one");
    for (int expected : {1, 2}) {
        EXPECT_EQ(WaitForMultipleObjects(kPipes, handles.data(), FALSE, kLongWaitMs), WAIT_OBJECT_0 + expected);
        ResetEvent(handles[expected]);
    }
    EXPECT_EQ(WaitForMultipleObjects(kPipes, handles.data(), FALSE, 0), WAIT_TIMEOUT);
    park.release();
    EXPECT_FALSE(park.expired()) << "a read waited for the reactor thread";
    for (int i = 0; i < kPipes; ++i)
        CancelIoEx(pairs[i].server.get(), nullptr);
    for (int i = 0; i < kPipes; ++i) {
        DWORD got = 0;
        GetOverlappedResult(pairs[i].server.get(), &reads[i], &got, TRUE);
    }
}

// A WaitSource of the test's own, attached to an event beside the one the layer attached for a
// pending read: it tells when a thread has started to drive the event's sources (the thread is then
// about to sleep in poll(), or re-checks its wait just before), and hands it a socket that never
// becomes readable. Thread use: service() and leave() from the waiting thread; the rest from the
// test thread; signal_ is an auto-reset event.
class Tripwire final : public win32layer::WaitSource {
public:
    Tripwire()
    {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        socket_ = std::make_shared<const win32layer::SharedDescriptor>(fds[0]);
        peer_ = fds[1];
    }
    ~Tripwire() override { ::close(peer_); }

    bool service(bool enrol, unsigned /*ready*/, win32layer::WaitTargets* targets) override
    {
        targets->sockets[win32layer::WaitTargets::kData] = socket_;
        if (enrol)
            SetEvent(signal_.get());
        return true;
    }
    void leave() override {}

    HANDLE signal() const { return signal_.get(); }

    static std::shared_ptr<Tripwire> attachTo(HANDLE event)
    {
        auto tripwire = std::make_shared<Tripwire>();
        std::shared_ptr<win32layer::Event> object = win32layer::HandleTable::instance().lookupAs<win32layer::Event>(event);
        EXPECT_TRUE(object);
        if (object)
            object->attach(tripwire);
        return tripwire;
    }

private:
    Owned signal_ = makeEvent(false);
    std::shared_ptr<const win32layer::SharedDescriptor> socket_;
    int peer_ = -1;
};

// A thread polling a pending read's sockets is woken at once by SetEvent on another object of its
// wait or on the read's own event, not when the read or a time-out ends it; the read stays pending.
enum class SetWhich { OtherObject, ReadsOwnEvent };

class DirectWaitSetEvent : public DirectWait, public ::testing::WithParamInterface<SetWhich> {};

TEST_P(DirectWaitSetEvent, WakesThePollingThreadAtOnce)
{
    char buffer[16];
    OVERLAPPED read = {};
    Pair pair = connectPair("setevent");
    Owned readEvent = makeEvent();
    Owned other = makeEvent();
    read.hEvent = readEvent.get();
    DWORD got = 0;
    ASSERT_FALSE(ReadFile(pair.server.get(), buffer, sizeof buffer, &got, &read));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    // Attached after the read's own source, so it trips once the read's sockets are about to be polled.
    const std::shared_ptr<Tripwire> tripwire = Tripwire::attachTo(readEvent.get());
    const bool own = GetParam() == SetWhich::ReadsOwnEvent;
    for (int round = 0; round < 5 && !HasFailure(); ++round) {
        Owned done = makeEvent();
        DWORD result = WAIT_FAILED;
        std::thread waiter([&] {
            HANDLE both[2] = {readEvent.get(), other.get()};
            result = WaitForMultipleObjects(2, both, FALSE, INFINITE);
            SetEvent(done.get());
        });
        EXPECT_EQ(WaitForSingleObject(tripwire->signal(), kLongWaitMs), WAIT_OBJECT_0);
        SetEvent(own ? readEvent.get() : other.get());
        const bool woken = WaitForSingleObject(done.get(), kLongWaitMs) == WAIT_OBJECT_0;
        EXPECT_TRUE(woken) << "round " << round << ": the waiting thread slept on";
        if (!woken)
            CloseHandle(pair.client.get());  // the read ends, which does wake it, so the test can end
        waiter.join();
        EXPECT_EQ(result, own ? WAIT_OBJECT_0 : WAIT_OBJECT_0 + 1);
        ResetEvent(readEvent.get());
        ResetEvent(other.get());
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(pair.server.get(), &read, &got, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE)) << "the read should still be pending";
    }
    if (!HasFailure()) {
        writeMessage(pair.client.get(), "at last");
        EXPECT_TRUE(GetOverlappedResult(pair.server.get(), &read, &got, TRUE)) << GetLastError();
        EXPECT_EQ(std::string(buffer, got), "at last");
    }
    CancelIoEx(pair.server.get(), &read);
    GetOverlappedResult(pair.server.get(), &read, &got, TRUE);
}

INSTANTIATE_TEST_SUITE_P(DirectWait, DirectWaitSetEvent, ::testing::Values(SetWhich::OtherObject, SetWhich::ReadsOwnEvent),
                         [](const ::testing::TestParamInfo<SetWhich>& info) {
                             return std::string(info.param == SetWhich::OtherObject ? "OtherObject" : "ReadsOwnEvent");
                         });

// A finite wait that polls ends at its time-out, measured on the monotonic clock, and a signal that
// comes while it is polling still counts.
TEST_F(DirectWait, FiniteWaitWhilePollingEndsAtItsTimeout)
{
    Owned event = makeEvent();
    const std::shared_ptr<Tripwire> tripwire = Tripwire::attachTo(event.get());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event.get(), 50), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(WaitForSingleObject(tripwire->signal(), 0), WAIT_OBJECT_0) << "the wait did not poll";

    DWORD result = WAIT_FAILED;
    std::thread waiter([&] { result = WaitForSingleObject(event.get(), kLongWaitMs); });
    EXPECT_EQ(WaitForSingleObject(tripwire->signal(), kLongWaitMs), WAIT_OBJECT_0);
    SetEvent(event.get());
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
}

// What ends a read while a thread is waiting for it, and what the read reports.
enum class Ending { CloseOwnHandle, PeerCloses, ServerDisconnects, ServerCloses };

struct EndingCase {
    const char* label;
    Ending ending;
    bool serverReads;     // else the client reads
    DWORD expectedError;  // 0: any failure (Windows does not document one)
    bool parkReactor;
};

class DirectWaitEndings : public DirectWait, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(DirectWaitEndings, WaitingThreadSeesTheReadEnd)
{
    const EndingCase& c = GetParam();
    const size_t socketsBefore = openSockets();
    // Many rounds, half of them ending the read while the thread polls. With the reactor held up,
    // whenever the ending is the peer's (or a disconnect), only the waiting thread itself can notice
    // it, however the two are ordered.
    for (int round = 0; round < 40; ++round) {
        Pair pair = connectPair("ending");
        Owned* readerEnd = c.serverReads ? &pair.server : &pair.client;
        const HANDLE reader = readerEnd->get();
        std::unique_ptr<ReactorPark> park;
        if (c.parkReactor)
            park = std::make_unique<ReactorPark>();
        Owned event = makeEvent();
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event.get();
        char buffer[16];
        DWORD got = 0;
        ASSERT_FALSE(ReadFile(reader, buffer, sizeof buffer, &got, &overlapped));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        // Attached after the read's own source: trips once the thread holds the read's sockets and
        // is about to poll them.
        const std::shared_ptr<Tripwire> tripwire = Tripwire::attachTo(event.get());
        DWORD waited = WAIT_FAILED;
        std::thread waiter([&] { waited = WaitForSingleObject(event.get(), kLongWaitMs); });
        if (round % 2 == 1) {
            // Every other round, once the thread polls; otherwise most likely before it starts.
            EXPECT_EQ(WaitForSingleObject(tripwire->signal(), kLongWaitMs), WAIT_OBJECT_0);
        }
        switch (c.ending) {
        case Ending::CloseOwnHandle:
            readerEnd->reset();
            // The waiting thread may still hold the socket it polls; the peer must see the end
            // now all the same, as Windows shows it.
            if (c.serverReads) {
                char byte;
                OVERLAPPED peerRead = {};
                Owned peerEvent = makeEvent();
                peerRead.hEvent = peerEvent.get();
                SetLastError(0);
                EXPECT_FALSE(ReadFile(pair.client.get(), &byte, 1, &got, &peerRead));
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE)) << "round " << round;
                if (GetLastError() == ERROR_IO_PENDING) {
                    CancelIoEx(pair.client.get(), &peerRead);
                    GetOverlappedResult(pair.client.get(), &peerRead, &got, TRUE);
                }
            } else {
                OVERLAPPED connect = {};
                Owned connectEvent = makeEvent();
                connect.hEvent = connectEvent.get();
                SetLastError(0);
                EXPECT_FALSE(ConnectNamedPipe(pair.server.get(), &connect));
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA)) << "round " << round;
            }
            break;
        case Ending::PeerCloses: (c.serverReads ? pair.client : pair.server).reset(); break;
        case Ending::ServerDisconnects: {
            EXPECT_TRUE(DisconnectNamedPipe(pair.server.get())) << GetLastError();
            break;
        }
        case Ending::ServerCloses: pair.server.reset(); break;
        }
        waiter.join();
        EXPECT_EQ(waited, WAIT_OBJECT_0) << "round " << round;
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(reader, &overlapped, &got, FALSE)) << "round " << round;
        const DWORD error = GetLastError();
        EXPECT_NE(error, static_cast<DWORD>(ERROR_IO_INCOMPLETE)) << "round " << round;
        if (c.expectedError != 0) {
            EXPECT_EQ(error, c.expectedError) << "round " << round;
        }
        if (park) {
            park->release();
            EXPECT_FALSE(park->expired()) << "round " << round << ": the read waited for the reactor thread";
        }
        if (HasFailure())
            break;
    }
    EXPECT_EQ(openSockets(), socketsBefore);
}

INSTANTIATE_TEST_SUITE_P(
    DirectWait, DirectWaitEndings,
    ::testing::Values(EndingCase{"OwnServerHandleClosed", Ending::CloseOwnHandle, true, 0, true},
                      EndingCase{"OwnClientHandleClosed", Ending::CloseOwnHandle, false, 0, true},
                      EndingCase{"ClientLeaves", Ending::PeerCloses, true, ERROR_BROKEN_PIPE, true},
                      EndingCase{"ServerLeaves", Ending::ServerCloses, false, ERROR_BROKEN_PIPE, true},
                      EndingCase{"ServerDisconnects", Ending::ServerDisconnects, false, ERROR_PIPE_NOT_CONNECTED, true},
                      EndingCase{"OwnServerHandleClosedReactorRunning", Ending::CloseOwnHandle, true, 0, false},
                      EndingCase{"ClientLeavesReactorRunning", Ending::PeerCloses, true, ERROR_BROKEN_PIPE, false},
                      EndingCase{"ServerDisconnectsReactorRunning", Ending::ServerDisconnects, false,
                                 ERROR_PIPE_NOT_CONNECTED, false}),
    [](const ::testing::TestParamInfo<EndingCase>& info) { return std::string(info.param.label); });

// The reactor completes the reads that no thread drives. Observed through a wait for more pending
// reads than one wait drives itself: the first kMaxDrivenSources are decoys on other pipes (driven,
// never completed), the read under test comes last, so only the reactor can complete it.
enum class Undriven { NeverWaitedFor, AfterAWaitTimedOut, AfterAWaitEndedByAnotherEvent, BehindACancelledDrivenRead };

struct UndrivenCase {
    const char* label;
    Undriven how;
};

class DirectWaitUndriven : public DirectWait, public ::testing::WithParamInterface<UndrivenCase> {};

TEST_P(DirectWaitUndriven, ReactorCompletesTheRead)
{
    constexpr size_t kDecoys = win32layer::Event::kMaxDrivenSources;
    std::vector<Pair> decoys;
    std::vector<Owned> decoyEvents;
    std::vector<OVERLAPPED> decoyReads(kDecoys);
    std::vector<HANDLE> handles;
    char scratch[kDecoys][8];
    for (size_t i = 0; i < kDecoys; ++i) {
        decoys.push_back(connectPair("decoy"));
        decoyEvents.push_back(makeEvent());
        decoyReads[i].hEvent = decoyEvents.back().get();
        handles.push_back(decoyEvents.back().get());
        DWORD got = 0;
        ASSERT_FALSE(ReadFile(decoys[i].server.get(), scratch[i], sizeof scratch[i], &got, &decoyReads[i]));
    }

    Pair pair = connectPair("undriven");
    Owned event = makeEvent();
    OVERLAPPED read = {};
    read.hEvent = event.get();
    char buffer[64];
    DWORD got = 0;
    Owned aheadEvent = makeEvent();
    OVERLAPPED ahead = {};
    ahead.hEvent = aheadEvent.get();
    char aheadBuffer[8];
    if (GetParam().how == Undriven::BehindACancelledDrivenRead) {
        ASSERT_FALSE(ReadFile(pair.server.get(), aheadBuffer, sizeof aheadBuffer, &got, &ahead));
    }
    ASSERT_FALSE(ReadFile(pair.server.get(), buffer, sizeof buffer, &got, &read));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    switch (GetParam().how) {
    case Undriven::NeverWaitedFor:
        break;
    case Undriven::AfterAWaitTimedOut:
        EXPECT_EQ(WaitForSingleObject(event.get(), 20), WAIT_TIMEOUT);
        break;
    case Undriven::AfterAWaitEndedByAnotherEvent: {
        Owned other = makeEvent();
        HANDLE both[2] = {event.get(), other.get()};
        const std::shared_ptr<Tripwire> tripwire = Tripwire::attachTo(event.get());
        DWORD result = WAIT_FAILED;
        std::thread waiter([&] { result = WaitForMultipleObjects(2, both, FALSE, kLongWaitMs); });
        EXPECT_EQ(WaitForSingleObject(tripwire->signal(), kLongWaitMs), WAIT_OBJECT_0);  // the read is driven
        SetEvent(other.get());
        waiter.join();
        EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
        break;
    }
    case Undriven::BehindACancelledDrivenRead: {
        const std::shared_ptr<Tripwire> tripwire = Tripwire::attachTo(aheadEvent.get());
        DWORD result = WAIT_FAILED;
        std::thread waiter([&] { result = WaitForSingleObject(aheadEvent.get(), kLongWaitMs); });
        EXPECT_EQ(WaitForSingleObject(tripwire->signal(), kLongWaitMs), WAIT_OBJECT_0);  // the reads are driven
        EXPECT_TRUE(CancelIoEx(pair.server.get(), &ahead)) << GetLastError();
        waiter.join();
        EXPECT_EQ(result, WAIT_OBJECT_0);
        EXPECT_FALSE(GetOverlappedResult(pair.server.get(), &ahead, &got, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        break;
    }
    }

    writeMessage(pair.client.get(), "via the reactor");
    handles.push_back(event.get());
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, kLongWaitMs),
              WAIT_OBJECT_0 + kDecoys);
    EXPECT_TRUE(GetOverlappedResult(pair.server.get(), &read, &got, FALSE)) << GetLastError();
    EXPECT_EQ(std::string(buffer, got), "via the reactor");

    for (size_t i = 0; i < kDecoys; ++i) {
        CancelIoEx(decoys[i].server.get(), nullptr);
        GetOverlappedResult(decoys[i].server.get(), &decoyReads[i], &got, TRUE);
    }
}

INSTANTIATE_TEST_SUITE_P(
    DirectWait, DirectWaitUndriven,
    ::testing::Values(UndrivenCase{"NeverWaitedFor", Undriven::NeverWaitedFor},
                      UndrivenCase{"AfterAWaitTimedOut", Undriven::AfterAWaitTimedOut},
                      UndrivenCase{"AfterAWaitEndedByAnotherEvent", Undriven::AfterAWaitEndedByAnotherEvent},
                      UndrivenCase{"BehindACancelledDrivenRead", Undriven::BehindACancelledDrivenRead}),
    [](const ::testing::TestParamInfo<UndrivenCase>& info) { return std::string(info.param.label); });

}  // namespace
