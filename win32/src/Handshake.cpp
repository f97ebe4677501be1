#include "Handshake.h"

#include "WireFormat.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace win32layer {

bool Handshake::send(int socketFd, uint8_t answer, uint8_t flags, int controlFd)
{
    uint8_t bytes[WireFormat::kHandshakeBytes] = {answer, flags};
    struct iovec iov = {bytes, sizeof bytes};
    struct msghdr message = {};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (controlFd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        struct cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &controlFd, sizeof(int));
    }
    // A fresh socket's buffer is empty: two bytes never block.
    return ::sendmsg(socketFd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(sizeof bytes);
}

DWORD Handshake::receive(int socketFd, int timeoutMs, uint8_t* flags, int* controlFd)
{
    *controlFd = -1;
    uint8_t bytes[WireFormat::kHandshakeBytes] = {};
    size_t got = 0;
    bool truncated = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < sizeof bytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        struct pollfd wait = {socketFd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;

        struct iovec iov = {bytes + got, sizeof bytes - got};
        struct msghdr message = {};
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        // Room for exactly one descriptor: the kernel closes any others a peer might try to pass.
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t received = ::recvmsg(socketFd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (received <= 0) {  // the end, or ECONNRESET: the server went away
            if (*controlFd >= 0)
                ::close(*controlFd);
            *controlFd = -1;
            return ERROR_FILE_NOT_FOUND;
        }
        if ((message.msg_flags & MSG_CTRUNC) != 0)
            truncated = true;  // more descriptors than a server sends: not one of ours
        for (struct cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
                header->cmsg_len == CMSG_LEN(sizeof(int))) {
                int passed;
                std::memcpy(&passed, CMSG_DATA(header), sizeof(int));
                if (*controlFd >= 0)
                    ::close(*controlFd);
                *controlFd = passed;
            }
        }
        got += static_cast<size_t>(received);
    }

    if (got == sizeof bytes && bytes[0] == WireFormat::kAnswerConnected && *controlFd >= 0 && !truncated) {
        *flags = bytes[1];
        return ERROR_SUCCESS;
    }
    if (*controlFd >= 0)
        ::close(*controlFd);
    *controlFd = -1;
    if (got < sizeof bytes || (bytes[0] == WireFormat::kAnswerBusy && !truncated))
        return ERROR_PIPE_BUSY;
    return ERROR_BAD_PIPE;
}

}  // namespace win32layer
