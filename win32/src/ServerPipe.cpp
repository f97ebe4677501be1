#include "ServerPipe.h"

#include "Errno.h"
#include "Handshake.h"
#include "SocketDirectory.h"
#include "WireFormat.h"

#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace win32layer {

namespace {

// Connections wait here only until the reactor thread accepts and answers them.
constexpr int kListenBacklog = 16;

}  // namespace

DWORD ServerPipe::create(const PipeName& name, DWORD openMode, DWORD pipeMode, DWORD defaultTimeoutMs,
                         std::shared_ptr<ServerPipe>* out)
{
    std::string directory;
    DWORD error = SocketDirectory::resolve(true, &directory);
    if (error != ERROR_SUCCESS)
        return error;
    const std::string socketPath = SocketDirectory::socketPath(directory, name);
    std::unique_ptr<InstanceLock> lock;
    error = InstanceLock::acquire(SocketDirectory::lockPath(directory, name), defaultTimeoutMs, &lock);
    if (error == ERROR_PIPE_BUSY && (openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0)
        return ERROR_ACCESS_DENIED;
    if (error != ERROR_SUCCESS)
        return error;

    // We hold the name, so any socket file here is a dead instance's leftover.
    ::unlink(socketPath.c_str());
    const int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd < 0) {
        error = Errno::toWin32Error(errno);
        lock->release(socketPath);
        return error;
    }
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);  // length checked by SocketDirectory
    if (::bind(listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd, kListenBacklog) != 0) {
        error = Errno::toWin32Error(errno);
        ::close(listenFd);
        lock->release(socketPath);
        return error;
    }

    const bool messageType = (pipeMode & PIPE_TYPE_MESSAGE) != 0;
    Access access;
    access.read = (openMode & PIPE_ACCESS_INBOUND) != 0;
    access.write = (openMode & PIPE_ACCESS_OUTBOUND) != 0;
    access.setState = access.write;  // as on Windows: an inbound-only server lacks FILE_WRITE_ATTRIBUTES
    uint8_t flags = 0;
    if (messageType)
        flags |= WireFormat::kFlagMessageType;
    if (access.read)
        flags |= WireFormat::kFlagServerReads;
    if (access.write)
        flags |= WireFormat::kFlagServerWrites;

    std::shared_ptr<ServerPipe> pipe(new ServerPipe(messageType, (pipeMode & PIPE_READMODE_MESSAGE) != 0, access,
                                                    (openMode & FILE_FLAG_OVERLAPPED) != 0, flags, std::move(lock),
                                                    socketPath, listenFd));
    std::lock_guard<OwnedMutex> guard(pipe->mutex_);
    if (!pipe->startListeningLocked()) {
        error = Errno::toWin32Error(errno);
        pipe->closed_ = true;
        pipe->closeLocked();
        return error;
    }
    *out = std::move(pipe);
    return ERROR_SUCCESS;
}

ServerPipe::ServerPipe(bool messageType, bool messageReadMode, Access access, bool overlapped,
                       uint8_t handshakeFlags, std::unique_ptr<InstanceLock> lock, std::string socketPath,
                       int listenFd)
    : PipeEnd(messageType, messageReadMode, access, overlapped),
      handshakeFlags_(handshakeFlags),
      lock_(std::move(lock)),
      socketPath_(std::move(socketPath)),
      listenFd_(listenFd)
{
}

bool ServerPipe::startListeningLocked()
{
    W32_ASSERT_HELD(mutex_);
    Reactor* reactor = Reactor::instance();
    if (reactor == nullptr)
        return false;
    // Edge-triggered: acceptLocked always accepts until EAGAIN. A client that connected before this
    // registration is reported by it.
    listenRegistration_ = reactor->add(listenFd_, EPOLLIN | EPOLLET, weak_from_this());
    if (listenRegistration_ == 0)
        return false;
    setStateLocked(State::Listening);
    return true;
}

NtStatus::Value ServerPipe::startConnect(std::unique_ptr<IoRequest> request, bool* completedNow)
{
    std::lock_guard<OwnedMutex> lock(mutex_);
    *completedNow = false;
    if (closed_)
        return NtStatus::kInvalidHandle;
    switch (state_) {
    case State::Connected:
        return connection_->peerLeftLocked() ? NtStatus::kPipeClosing : NtStatus::kPipeConnected;
    case State::Disconnected:
        setStateLocked(State::Listening);
        break;
    case State::Listening:
        break;
    }
    request->resetEventsLocked();
    connectRequests_.push_back(std::move(request));
    return NtStatus::kPending;
}

NtStatus::Value ServerPipe::disconnect()
{
    std::lock_guard<OwnedMutex> lock(mutex_);
    if (closed_)
        return NtStatus::kInvalidHandle;
    switch (state_) {
    case State::Listening:
        return NtStatus::kPipeListening;
    case State::Disconnected:
        return NtStatus::kPipeDisconnected;
    case State::Connected:
        break;
    }
    connection_->disconnectLocked();
    connection_.reset();
    setStateLocked(State::Disconnected);
    return NtStatus::kSuccess;
}

NtStatus::Value ServerPipe::unconnectedStatusLocked() const
{
    W32_ASSERT_HELD(mutex_);
    return state_ == State::Listening ? NtStatus::kPipeListening : NtStatus::kPipeDisconnected;
}

void ServerPipe::onIoReadyLocked(uint64_t registration, uint32_t events)
{
    W32_ASSERT_HELD(mutex_);
    if (registration == listenRegistration_)
        acceptLocked();
    else if (connection_ && connection_->ownsLocked(registration))
        connection_->onReadyLocked(registration, events);
}

bool ServerPipe::cancelOthersLocked(const OVERLAPPED* overlapped)
{
    W32_ASSERT_HELD(mutex_);
    std::vector<std::unique_ptr<IoRequest>> cancelled;
    for (auto it = connectRequests_.begin(); it != connectRequests_.end();) {
        if (overlapped == nullptr || (*it)->overlapped() == overlapped) {
            cancelled.push_back(std::move(*it));
            it = connectRequests_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& request : cancelled)
        request->complete(NtStatus::kCancelled, 0);
    return !cancelled.empty();
}

void ServerPipe::closeLocked()
{
    W32_ASSERT_HELD(mutex_);
    std::vector<std::unique_ptr<IoRequest>> pending;
    pending.swap(connectRequests_);
    for (auto& request : pending)
        request->complete(NtStatus::kPipeBroken, 0);
    if (connection_) {
        connection_->closeLocked(NtStatus::kPipeBroken);
        connection_.reset();
    }
    if (listenFd_ >= 0) {
        if (listenRegistration_ != 0) {
            if (Reactor* reactor = Reactor::instance())
                reactor->remove(listenRegistration_, listenFd_);
            listenRegistration_ = 0;
        }
        ::close(listenFd_);
        listenFd_ = -1;
    }
    lock_->release(socketPath_);
}

void ServerPipe::acceptLocked()
{
    W32_ASSERT_HELD(mutex_);
    for (;;) {
        const int socketFd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socketFd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            // EAGAIN: all taken. Out of descriptors: the client stays in the backlog and gives up
            // after its handshake time-out; the next connection retries.
            return;
        }
        // The directory already keeps other users out; this catches anything that got past it.
        struct ucred peer = {};
        socklen_t length = sizeof peer;
        if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) {
            ::close(socketFd);
            continue;
        }
        if (state_ == State::Listening && !connection_) {
            admitLocked(socketFd);  // takes the descriptor
        } else {
            Handshake::send(socketFd, WireFormat::kAnswerBusy, handshakeFlags_, -1);
            ::close(socketFd);
        }
    }
}

void ServerPipe::admitLocked(int socketFd)
{
    W32_ASSERT_HELD(mutex_);
    int control[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, control) != 0) {
        Handshake::send(socketFd, WireFormat::kAnswerBusy, handshakeFlags_, -1);
        ::close(socketFd);
        return;
    }
    const bool answered = Handshake::send(socketFd, WireFormat::kAnswerConnected, handshakeFlags_, control[1]);
    ::close(control[1]);
    if (!answered) {
        // The client gave up before we answered: as if it had never come.
        ::close(control[0]);
        ::close(socketFd);
        return;
    }
    auto connection = std::make_unique<Connection>(mutex_, socketFd, control[0], false);
    if (!connection->startLocked(weak_from_this()))
        return;  // the client sees its pipe end at once
    connection_ = std::move(connection);
    setStateLocked(State::Connected);
    std::vector<std::unique_ptr<IoRequest>> waiting;
    waiting.swap(connectRequests_);
    for (auto& request : waiting)
        request->complete(NtStatus::kSuccess, 0);
}

void ServerPipe::setStateLocked(State state)
{
    W32_ASSERT_HELD(mutex_);
    state_ = state;
    lock_->publishListening(state == State::Listening);
}

}  // namespace win32layer
