#include "Connection.h"

#include "Reactor.h"
#include "WireFormat.h"

#include <algorithm>
#include <cassert>
#include <atomic>
#include <cerrno>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace win32layer {

namespace {
constexpr size_t kMaxReceiveBytes = 1u << 20;

// The peer leaving is always watched; data and room only while nobody else takes care of them.
uint32_t dataEvents(bool readable, bool writable)
{
    return EPOLLRDHUP | EPOLLET | (readable ? EPOLLIN : 0u) | (writable ? EPOLLOUT : 0u);
}
std::atomic<uint64_t> g_nextConnectionId{1};
}  // namespace

Connection::Connection(const OwnedMutex& guard, int dataFd, int controlFd, bool watchControl)
    : guard_(guard),
      id_(g_nextConnectionId++),
      dataSocket_(dataFd >= 0 ? std::make_shared<SharedSocket>(dataFd) : nullptr),
      dataFd_(dataFd),
      controlFd_(controlFd),
      watchControl_(watchControl)
{
}

Connection::~Connection()
{
    // Normally closeLocked/disconnectLocked have released everything; this covers a connection
    // that failed to start. The data socket closes with its last holder.
    if (controlFd_ >= 0)
        ::close(controlFd_);
}

ReadDriver::Drive Connection::beginDriveLocked()
{
    W32_ASSERT_HELD(guard_);
    // While a waiter polls the socket itself, the I/O thread need not wake for its data: every
    // wake would only find the waiter's work done, or fight it for the pipe's mutex.
    if (++drivers_ == 1)
        watchLocked(false, watchingWritable_);
    return ReadDriver::Drive{id_, dataSocket_};
}

bool Connection::driveLocked()
{
    W32_ASSERT_HELD(guard_);
    settleLocked(nullptr, nullptr);
    return !reads_.empty();
}

void Connection::endDriveLocked()
{
    W32_ASSERT_HELD(guard_);
    // The I/O thread left this socket's incoming data alone while anyone drove it; the last driver
    // takes whatever came meanwhile.
    if (--drivers_ == 0) {
        watchLocked(true, watchingWritable_);
        settleLocked(nullptr, nullptr);
    }
}

bool Connection::startLocked(const std::weak_ptr<IoSource>& source)
{
    W32_ASSERT_HELD(guard_);
    Reactor* reactor = Reactor::instance();
    if (reactor == nullptr)
        return false;
    // Room to write is watched only while a write waits for it (watchWritableLocked): a Unix
    // socket reports room after every read its peer makes, which would wake the I/O thread once
    // per message for nothing.
    watchingReadable_ = drivers_ == 0;
    watchingWritable_ = !outbound_.empty();
    dataRegistration_ = reactor->add(dataFd_, dataEvents(watchingReadable_, watchingWritable_), source);
    if (dataRegistration_ == 0)
        return false;
    if (watchControl_ && controlFd_ >= 0) {
        controlRegistration_ = reactor->add(controlFd_, EPOLLIN | EPOLLRDHUP | EPOLLET, source);
        if (controlRegistration_ == 0) {
            const int error = errno;
            reactor->remove(dataRegistration_, dataFd_);
            dataRegistration_ = 0;
            errno = error;
            return false;
        }
    }
    return true;
}

bool Connection::ownsLocked(uint64_t registration) const
{
    W32_ASSERT_HELD(guard_);
    return registration != 0 && (registration == dataRegistration_ || registration == controlRegistration_);
}

NtStatus::Value Connection::submitReadLocked(std::unique_ptr<IoRequest> request, bool* completedNow)
{
    W32_ASSERT_HELD(guard_);
    *completedNow = false;
    if (state_ == State::Disconnected)
        return NtStatus::kPipeDisconnected;
    IoRequest* fresh = request.get();
    reads_.push_back(std::move(request));
    NtStatus::Value freshFailure = NtStatus::kPending;
    settleLocked(fresh, &freshFailure);
    if (freshFailure != NtStatus::kPending)
        return freshFailure;
    *completedNow = std::none_of(reads_.begin(), reads_.end(),
                                 [fresh](const std::unique_ptr<IoRequest>& r) { return r.get() == fresh; });
    return NtStatus::kPending;
}

NtStatus::Value Connection::submitWriteLocked(std::unique_ptr<IoRequest> request, bool* completedNow)
{
    W32_ASSERT_HELD(guard_);
    *completedNow = false;
    if (state_ == State::Disconnected)
        return NtStatus::kPipeDisconnected;
    if (state_ == State::PeerClosed)
        return NtStatus::kPipeClosing;
    IoRequest* fresh = request.get();
    outbound_.push(fresh, request->data, request->length);
    writes_.emplace(fresh, std::move(request));
    NtStatus::Value freshFailure = NtStatus::kPending;
    settleLocked(fresh, &freshFailure);
    if (freshFailure != NtStatus::kPending)
        return freshFailure;
    auto pending = writes_.find(fresh);
    if (pending != writes_.end() && pending->second->length == 0) {
        // An empty message never waits: it stays queued behind earlier writes but is answered now.
        outbound_.release(fresh);
        std::unique_ptr<IoRequest> done = std::move(pending->second);
        writes_.erase(pending);
        done->complete(NtStatus::kSuccess, 0);
    }
    *completedNow = writes_.count(fresh) == 0;
    return NtStatus::kPending;
}

bool Connection::cancelLocked(const OVERLAPPED* overlapped)
{
    W32_ASSERT_HELD(guard_);
    auto matches = [overlapped](const IoRequest* request) {
        return overlapped == nullptr || request->overlapped() == overlapped;
    };
    std::vector<std::unique_ptr<IoRequest>> cancelled;
    for (auto it = reads_.begin(); it != reads_.end();) {
        if (matches(it->get())) {
            cancelled.push_back(std::move(*it));
            it = reads_.erase(it);
        } else {
            ++it;
        }
    }
    std::vector<const void*> tokens;
    outbound_.cancelIf([&](const void* token) { return matches(static_cast<const IoRequest*>(token)); }, &tokens);
    for (const void* token : tokens) {
        auto it = writes_.find(token);
        cancelled.push_back(std::move(it->second));
        writes_.erase(it);
    }
    for (auto& request : cancelled)
        request->complete(NtStatus::kCancelled, 0);
    return !cancelled.empty();
}

void Connection::onReadyLocked(uint64_t registration, uint32_t /*events*/)
{
    W32_ASSERT_HELD(guard_);
    if (registration != 0 && registration == controlRegistration_) {
        checkControlLocked();
        settleLocked(nullptr, nullptr);
        return;
    }
    if (drivers_ > 0) {
        // The waiting threads take the incoming data; writes are nobody's but ours.
        pumpWritesLocked(nullptr, nullptr);
        if (state_ != State::Open && !reads_.empty())
            pumpReadsLocked(nullptr, nullptr);
        return;
    }
    settleLocked(nullptr, nullptr);
}

bool Connection::peerLeftLocked()
{
    W32_ASSERT_HELD(guard_);
    if (state_ == State::Open && dataFd_ >= 0) {
        // POLLRDHUP reports the peer's shutdown even while its last data is still unread.
        struct pollfd probe = {dataFd_, POLLRDHUP, 0};
        if (::poll(&probe, 1, 0) == 1 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            peerGoneLocked();
            settleLocked(nullptr, nullptr);
        }
    }
    return state_ != State::Open;
}

void Connection::disconnectLocked()
{
    W32_ASSERT_HELD(guard_);
    if (controlFd_ >= 0) {
        // Before the data socket closes, so the client can never see that end without this byte.
        const uint8_t notice = WireFormat::kControlDisconnected;
        (void)::send(controlFd_, &notice, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    state_ = State::Disconnected;
    inbound_.clear();
    failReadsLocked(NtStatus::kPipeDisconnected, nullptr, nullptr);
    failWritesLocked(NtStatus::kPipeDisconnected, NtStatus::kPipeDisconnected, nullptr, nullptr);
    releaseDescriptorsLocked();
}

void Connection::closeLocked(NtStatus::Value status)
{
    W32_ASSERT_HELD(guard_);
    inbound_.clear();
    failReadsLocked(status, nullptr, nullptr);
    failWritesLocked(status, status, nullptr, nullptr);
    releaseDescriptorsLocked();
    state_ = State::Disconnected;
}

void Connection::settleLocked(IoRequest* fresh, NtStatus::Value* freshFailure)
{
    W32_ASSERT_HELD(guard_);
    pumpReadsLocked(fresh, freshFailure);
    pumpWritesLocked(fresh, freshFailure);
    // A failed send can reveal that the peer has gone; reads waiting for data learn it now.
    if (state_ != State::Open && !reads_.empty())
        pumpReadsLocked(fresh, freshFailure);
}

void Connection::pumpReadsLocked(IoRequest* fresh, NtStatus::Value* freshFailure)
{
    while (!reads_.empty()) {
        if (state_ == State::Disconnected) {
            failReadsLocked(NtStatus::kPipeDisconnected, fresh, freshFailure);
            return;
        }
        IoRequest& request = *reads_.front();
        InboundStream::ReadResult result;
        const bool served = request.messageMode
                                ? inbound_.readMessage(request.buffer, request.capacity, &result)
                                : inbound_.readBytes(request.buffer, request.capacity, &result);
        if (served) {
            std::unique_ptr<IoRequest> done = std::move(reads_.front());
            reads_.pop_front();
            done->complete(result.moreData ? NtStatus::kBufferOverflow : NtStatus::kSuccess, result.bytes);
            continue;
        }
        if (endOfStream_) {
            failReadsLocked(NtStatus::kPipeBroken, fresh, freshFailure);
            return;
        }
        if (!receiveLocked(request.messageMode, request.capacity))
            return;  // the reactor calls again when data arrives
    }
}

bool Connection::receiveLocked(bool messageMode, uint32_t capacity)
{
    if (dataFd_ < 0) {
        endOfStreamLocked();
        return true;
    }
    // Room for what the waiting read still lacks, but no more than kMaxReceiveBytes per call: the
    // buffer then grows with what actually arrives, not with what a header or a huge read buffer
    // claims.
    const size_t wanted = std::min(kMaxReceiveBytes, std::max(InboundStream::kChunkBytes,
                                                              inbound_.shortfall(messageMode, capacity)));
    const std::pair<char*, size_t> space = inbound_.reserve(wanted);
    if (space.first == nullptr) {
        failReadsLocked(NtStatus::kNoMemory, nullptr, nullptr);
        return true;
    }
    for (;;) {
        const ssize_t received = ::recv(dataFd_, space.first, space.second, MSG_DONTWAIT);
        if (received > 0) {
            inbound_.commit(static_cast<size_t>(received));
            // What just arrived may be data the server sent before disconnecting, which must not be
            // read. One recv on the control socket per refill is cheap next to the refill itself.
            if (watchControl_)
                checkControlLocked();
            return true;
        }
        if (received == 0) {
            endOfStreamLocked();
            return true;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return false;
        endOfStreamLocked();  // ECONNRESET and the like: the peer is gone
        return true;
    }
}

void Connection::pumpWritesLocked(IoRequest* fresh, NtStatus::Value* freshFailure)
{
    while (state_ == State::Open && !outbound_.empty() && dataFd_ >= 0) {
        struct iovec iov[OutboundQueue::kMaxIov];
        struct msghdr message = {};
        message.msg_iov = iov;
        message.msg_iovlen = static_cast<size_t>(outbound_.gather(iov, OutboundQueue::kMaxIov));
        const ssize_t sent = ::sendmsg(dataFd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            std::vector<const void*> finished;
            outbound_.consume(static_cast<size_t>(sent), &finished);
            completeWritesLocked(finished, NtStatus::kSuccess);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (watchLocked(watchingReadable_, true))
                return;  // the reactor calls again when there is room
            failWritesLocked(NtStatus::kNoMemory, NtStatus::kNoMemory, fresh, freshFailure);
            return;
        }
        peerGoneLocked();  // EPIPE, ECONNRESET: the reader has gone
    }
    if (outbound_.empty())
        watchLocked(watchingReadable_, false);
    if (state_ == State::Disconnected)
        failWritesLocked(NtStatus::kPipeDisconnected, NtStatus::kPipeDisconnected, fresh, freshFailure);
    else if (state_ == State::PeerClosed)
        failWritesLocked(NtStatus::kPipeBroken, NtStatus::kPipeClosing, fresh, freshFailure);
}

bool Connection::watchLocked(bool readable, bool writable)
{
    if ((readable == watchingReadable_ && writable == watchingWritable_) || dataRegistration_ == 0 || dataFd_ < 0)
        return true;
    Reactor* reactor = Reactor::instance();
    if (reactor == nullptr || !reactor->modify(dataRegistration_, dataFd_, dataEvents(readable, writable))) {
        // Watching less than needed is harmless only where a driver or nobody needs it.
        return (!readable || watchingReadable_) && (!writable || watchingWritable_);
    }
    watchingReadable_ = readable;
    watchingWritable_ = writable;
    return true;
}

void Connection::endOfStreamLocked()
{
    endOfStream_ = true;
    inbound_.endOfStream();
    peerGoneLocked();
}

void Connection::peerGoneLocked()
{
    if (watchControl_)
        checkControlLocked();
    if (state_ == State::Open)
        state_ = State::PeerClosed;
}

void Connection::checkControlLocked()
{
    if (controlFd_ < 0 || state_ == State::Disconnected)
        return;
    uint8_t notice = 0;
    for (;;) {
        const ssize_t received = ::recv(controlFd_, &notice, 1, MSG_DONTWAIT);
        if (received == 1 && notice == WireFormat::kControlDisconnected) {
            state_ = State::Disconnected;
            inbound_.clear();
            return;
        }
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // The server closed its handle without disconnecting (or sent nonsense): nothing more will
        // come on this socket.
        closeControlLocked();
        return;
    }
}

void Connection::failReadsLocked(NtStatus::Value status, IoRequest* fresh, NtStatus::Value* freshFailure)
{
    std::deque<std::unique_ptr<IoRequest>> failed;
    failed.swap(reads_);
    for (auto& request : failed) {
        if (request.get() == fresh) {
            *freshFailure = status;
            continue;
        }
        request->complete(status, 0);
    }
}

void Connection::failWritesLocked(NtStatus::Value pendingStatus, NtStatus::Value freshStatus, IoRequest* fresh,
                                  NtStatus::Value* freshFailure)
{
    // A write whose first bytes went out was not refused at once: it is completed like the others.
    const bool freshStarted = outbound_.frontToken() == fresh && outbound_.frontStarted();
    std::vector<const void*> dropped;
    outbound_.clear(&dropped);
    for (const void* token : dropped) {
        auto it = writes_.find(token);
        std::unique_ptr<IoRequest> request = std::move(it->second);
        writes_.erase(it);
        if (token == fresh && !freshStarted) {
            *freshFailure = freshStatus;
            continue;
        }
        request->complete(pendingStatus, 0);
    }
}

void Connection::completeWritesLocked(const std::vector<const void*>& tokens, NtStatus::Value status)
{
    for (const void* token : tokens) {
        auto it = writes_.find(token);
        std::unique_ptr<IoRequest> request = std::move(it->second);
        writes_.erase(it);
        request->complete(status, request->length);
    }
}

void Connection::closeControlLocked()
{
    if (controlFd_ < 0)
        return;
    if (controlRegistration_ != 0) {
        if (Reactor* reactor = Reactor::instance())
            reactor->remove(controlRegistration_, controlFd_);
        controlRegistration_ = 0;
    }
    ::close(controlFd_);
    controlFd_ = -1;
}

void Connection::releaseDescriptorsLocked()
{
    closeControlLocked();
    if (dataFd_ >= 0) {
        if (dataRegistration_ != 0) {
            if (Reactor* reactor = Reactor::instance())
                reactor->remove(dataRegistration_, dataFd_);
            dataRegistration_ = 0;
        }
        // A thread polling it still holds the socket: end it now, so the peer sees the end at
        // once and the poller wakes; the descriptor closes with its last holder.
        if (dataSocket_.use_count() > 1)
            ::shutdown(dataFd_, SHUT_RDWR);
        dataSocket_.reset();
        dataFd_ = -1;
    }
}

}  // namespace win32layer
