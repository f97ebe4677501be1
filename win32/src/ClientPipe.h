#pragma once

#include "PipeEnd.h"
#include "PipeName.h"

#include <memory>

namespace win32layer {

// The client end of a named pipe, as CreateFileW opens it: connect to the instance's socket, check
// that the server runs as our user, then wait for the server's handshake, which says whether we got
// the instance and hands over the control socket. Starts in byte-read mode, as on Windows.
//
// Thread use: see PipeEnd; connection_ is guarded by mutex_.
class ClientPipe final : public PipeEnd {
public:
    // Returns ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (no such pipe, or a dead one), ERROR_PIPE_BUSY,
    // ERROR_ACCESS_DENIED (the requested access does not match the pipe's direction, or the
    // directory or the server is not ours), or the error of a failing system call.
    static DWORD open(const PipeName& name, DWORD desiredAccess, bool overlapped, std::shared_ptr<ClientPipe>* out);

    bool isServer() const override { return false; }

private:
    // Takes the connected data and control sockets.
    ClientPipe(bool messageType, Access access, bool overlapped, int socketFd, int controlFd);

    Connection* connectionLocked() override { return connection_.get(); }
    NtStatus::Value unconnectedStatusLocked() const override { return NtStatus::kPipeDisconnected; }
    void onIoReadyLocked(uint64_t registration, uint32_t events) override;
    void closeLocked() override;

    std::unique_ptr<Connection> connection_;
};

}  // namespace win32layer
