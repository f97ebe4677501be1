#pragma once

#include "InstanceLock.h"
#include "PipeEnd.h"
#include "PipeName.h"

#include <memory>
#include <string>
#include <vector>

namespace win32layer {

// The server end of a named pipe: one instance per name.
//
// The instance listens from the moment it is created: a listening Unix socket at
// <directory>/<stem>.sock, guarded by the instance lock on <stem>.lock. The reactor thread accepts
// every connection, checks that the peer runs as our user (SO_PEERCRED) and answers it: the first
// client while the instance is listening gets "connected" and the instance; any other gets "busy".
//
//   Listening    --client accepted-->      Connected (the client may later leave: "closing")
//   Connected    --DisconnectNamedPipe-->  Disconnected
//   Disconnected --ConnectNamedPipe-->     Listening
//
// ConnectNamedPipe completes when a client is accepted, fails with ERROR_PIPE_CONNECTED when one
// already is, and with ERROR_NO_DATA when it came and went. CloseHandle removes both files, so
// nothing is left behind; a crashed owner's files are reused by the next instance (the lock tells).
//
// Thread use: see PipeEnd; everything below is guarded by mutex_.
class ServerPipe final : public PipeEnd {
public:
    // Creates the instance. Returns ERROR_SUCCESS, ERROR_PIPE_BUSY (the name has a live instance),
    // ERROR_ACCESS_DENIED (unsafe directory, or a live instance with FILE_FLAG_FIRST_PIPE_INSTANCE),
    // or the error of a failing system call.
    static DWORD create(const PipeName& name, DWORD openMode, DWORD pipeMode, DWORD defaultTimeoutMs,
                        std::shared_ptr<ServerPipe>* out);

    bool isServer() const override { return true; }

    NtStatus::Value startConnect(std::unique_ptr<IoRequest> request, bool* completedNow);
    NtStatus::Value disconnect();

private:
    enum class State { Listening, Connected, Disconnected };

    ServerPipe(bool messageType, bool messageReadMode, Access access, bool overlapped, uint8_t handshakeFlags,
               std::unique_ptr<InstanceLock> lock, std::string socketPath, int listenFd);

    Connection* connectionLocked() override { return connection_.get(); }
    NtStatus::Value unconnectedStatusLocked() const override;
    void onIoReadyLocked(uint64_t registration, uint32_t events) override;
    bool cancelOthersLocked(const OVERLAPPED* overlapped) override;
    void closeLocked() override;

    bool startListeningLocked();
    void acceptLocked();
    void admitLocked(int socketFd);
    void setStateLocked(State state);

    State state_ = State::Listening;
    const uint8_t handshakeFlags_;
    std::unique_ptr<InstanceLock> lock_;
    const std::string socketPath_;
    int listenFd_;
    uint64_t listenRegistration_ = 0;
    std::unique_ptr<Connection> connection_;  // only while Connected
    std::vector<std::unique_ptr<IoRequest>> connectRequests_;
};

}  // namespace win32layer
