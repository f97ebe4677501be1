#include "ClientPipe.h"

#include "Errno.h"
#include "Handshake.h"
#include "SocketDirectory.h"
#include "WireFormat.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace win32layer {

namespace {

// The server's reactor thread answers within microseconds; this only bounds the wait for a server
// process that is stopped or wedged, which then looks busy.
constexpr int kHandshakeTimeoutMs = 10000;

constexpr DWORD kReadRights = GENERIC_READ | 0x10000000u /* GENERIC_ALL */ | 0x0001u /* FILE_READ_DATA */;
constexpr DWORD kWriteRights = GENERIC_WRITE | 0x10000000u /* GENERIC_ALL */ | 0x0002u /* FILE_WRITE_DATA */;
constexpr DWORD kSetStateRights = kWriteRights | FILE_WRITE_ATTRIBUTES;

DWORD connectSocket(const std::string& path, int* out)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Errno::toWin32Error(errno);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);  // length checked by SocketDirectory
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        // ENOENT: no such pipe. ECONNREFUSED: a socket file nobody listens on (its owner died).
        // EAGAIN: the backlog is full, which only happens while the server is swamped.
        if (error == ENOENT || error == ECONNREFUSED)
            return ERROR_FILE_NOT_FOUND;
        return Errno::toWin32Error(error);
    }
    struct ucred peer = {};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) {
        ::close(fd);
        return ERROR_ACCESS_DENIED;
    }
    *out = fd;
    return ERROR_SUCCESS;
}

}  // namespace

DWORD ClientPipe::open(const PipeName& name, DWORD desiredAccess, bool overlapped, std::shared_ptr<ClientPipe>* out)
{
    std::string directory;
    DWORD error = SocketDirectory::resolve(false, &directory);
    if (error != ERROR_SUCCESS)
        return error;
    int socketFd = -1;
    error = connectSocket(SocketDirectory::socketPath(directory, name), &socketFd);
    if (error != ERROR_SUCCESS)
        return error;
    uint8_t flags = 0;
    int controlFd = -1;
    error = Handshake::receive(socketFd, kHandshakeTimeoutMs, &flags, &controlFd);
    if (error != ERROR_SUCCESS) {
        ::close(socketFd);
        return error;
    }

    Access access;
    access.read = (desiredAccess & kReadRights) != 0;
    access.write = (desiredAccess & kWriteRights) != 0;
    access.setState = (desiredAccess & kSetStateRights) != 0;
    if ((access.read && (flags & WireFormat::kFlagServerWrites) == 0) ||
        (access.write && (flags & WireFormat::kFlagServerReads) == 0)) {
        // The server has already counted us as its client; closing shows it a client that left.
        ::close(controlFd);
        ::close(socketFd);
        return ERROR_ACCESS_DENIED;
    }

    std::shared_ptr<ClientPipe> pipe(
        new ClientPipe((flags & WireFormat::kFlagMessageType) != 0, access, overlapped, socketFd, controlFd));
    std::lock_guard<OwnedMutex> guard(pipe->mutex_);
    if (!pipe->connection_->startLocked(pipe->weak_from_this())) {
        error = Errno::toWin32Error(errno);
        pipe->closed_ = true;
        pipe->closeLocked();
        return error;
    }
    *out = std::move(pipe);
    return ERROR_SUCCESS;
}

ClientPipe::ClientPipe(bool messageType, Access access, bool overlapped, int socketFd, int controlFd)
    : PipeEnd(messageType, false, access, overlapped),
      connection_(std::make_unique<Connection>(mutex_, socketFd, controlFd, true))
{
}

void ClientPipe::onIoReadyLocked(uint64_t registration, uint32_t events)
{
    W32_ASSERT_HELD(mutex_);
    if (connection_ && connection_->ownsLocked(registration))
        connection_->onReadyLocked(registration, events);
}

void ClientPipe::closeLocked()
{
    W32_ASSERT_HELD(mutex_);
    if (connection_) {
        connection_->closeLocked(NtStatus::kPipeBroken);
        connection_.reset();
    }
}

}  // namespace win32layer
