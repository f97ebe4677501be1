#pragma once

#include "InboundStream.h"
#include "OwnedMutex.h"
#include "IoRequest.h"
#include "NtStatus.h"
#include "OutboundQueue.h"
#include "ReadDriver.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

namespace win32layer {

class IoSource;

// The data path of one connected pipe end: its socket, the read buffer and the queues of pending
// reads and writes, and what is known about the peer.
//
// State: Open; PeerClosed once the peer's end is known to be gone (what it sent before leaving is
// still read; after that reads fail with ERROR_BROKEN_PIPE, writes with ERROR_NO_DATA); Disconnected
// once the server has called DisconnectNamedPipe (everything unread is dropped and every read or
// write fails with ERROR_PIPE_NOT_CONNECTED). The client learns of a disconnect from the control
// socket (see WireFormat): the reactor watches it, and the client checks it after every receive and
// whenever its data socket fails, so data the server sent before disconnecting is never read.
//
// A request that fails the moment it is made fails "at once": it is returned as an immediate status
// and neither completed nor signalled, as Windows does. Requests already pending are completed.
//
// While threads waiting for its reads drive them (ReadDriver), the reactor leaves incoming data to
// them and only moves pending writes; the last of them to stop settles once more.
//
// Thread use: not thread-safe by itself. Every method is called with the owning PipeEnd's mutex
// held, from API threads and from the reactor thread; names end in Locked to say so.
class Connection {
public:
    enum class State { Open, PeerClosed, Disconnected };

    // Takes ownership of both descriptors (non-blocking). controlFd may be -1. With watchControl the
    // connection reads the control socket (the client end); otherwise it may write to it (the server).
    // `guard` is the owning pipe end's mutex, held for every ...Locked call (checked in debug builds).
    Connection(const OwnedMutex& guard, int dataFd, int controlFd, bool watchControl);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Registers the descriptors with the reactor. False, with errno set, on failure.
    bool startLocked(const std::weak_ptr<IoSource>& source);
    bool ownsLocked(uint64_t registration) const;
    State stateLocked() const { return state_; }
    // Unique in the process: tells a connection from a later one at the same address.
    uint64_t id() const { return id_; }

    ReadDriver::Drive beginDriveLocked();
    bool driveLocked();  // see ReadDriver::drive
    void endDriveLocked();

    // Queue a request and try to complete it at once. Returns an immediate failure status (the
    // request is dropped), or NtStatus::kPending with *completedNow saying whether it already
    // completed during the call.
    NtStatus::Value submitReadLocked(std::unique_ptr<IoRequest> request, bool* completedNow);
    NtStatus::Value submitWriteLocked(std::unique_ptr<IoRequest> request, bool* completedNow);

    // Completes the matching pending requests (all for nullptr) with STATUS_CANCELLED.
    bool cancelLocked(const OVERLAPPED* overlapped);

    void onReadyLocked(uint64_t registration, uint32_t events);

    // Server side: whether the client has gone, asked of the socket now rather than waiting for the
    // reactor, so that ConnectNamedPipe right after the client's CloseHandle sees it.
    bool peerLeftLocked();

    // Server's DisconnectNamedPipe: tells the client, drops all data both ways, fails pending
    // requests with STATUS_PIPE_DISCONNECTED and closes the sockets.
    void disconnectLocked();
    // CloseHandle: fails pending requests with `status` and closes the sockets; the peer sees the
    // end of the stream.
    void closeLocked(NtStatus::Value status);

private:
    // Serves pending requests from what is buffered and what the socket has; settles the state.
    // `fresh` is the request of the call in progress (or nullptr): if it fails, its status goes to
    // *freshFailure instead of being completed.
    void settleLocked(IoRequest* fresh, NtStatus::Value* freshFailure);
    void pumpReadsLocked(IoRequest* fresh, NtStatus::Value* freshFailure);
    void pumpWritesLocked(IoRequest* fresh, NtStatus::Value* freshFailure);
    // One recv into the read buffer. False when the socket has nothing now (EAGAIN).
    bool receiveLocked(bool messageMode, uint32_t capacity);
    // Sets what the reactor watches the data socket for besides the peer leaving: incoming data
    // (not while waiters drive the reads) and room to write (only while a write waits for it).
    // The change is checked against the socket's state at once, so no edge is lost. False if
    // something that must now be watched could not be.
    bool watchLocked(bool readable, bool writable);
    void endOfStreamLocked();
    void peerGoneLocked();
    void checkControlLocked();
    void failReadsLocked(NtStatus::Value status, IoRequest* fresh, NtStatus::Value* freshFailure);
    void failWritesLocked(NtStatus::Value pendingStatus, NtStatus::Value freshStatus, IoRequest* fresh,
                          NtStatus::Value* freshFailure);
    void completeWritesLocked(const std::vector<const void*>& tokens, NtStatus::Value status);
    void releaseDescriptorsLocked();
    void closeControlLocked();

    const OwnedMutex& guard_;
    const uint64_t id_;
    std::shared_ptr<SharedSocket> dataSocket_;  // shared with the threads that poll it
    int dataFd_;                                // dataSocket_'s, or -1
    int drivers_ = 0;                           // waiting threads driving the reads
    int controlFd_;
    const bool watchControl_;
    uint64_t dataRegistration_ = 0;
    uint64_t controlRegistration_ = 0;
    bool watchingReadable_ = true;   // EPOLLIN is in dataRegistration_'s events
    bool watchingWritable_ = false;  // EPOLLOUT is in dataRegistration_'s events
    State state_ = State::Open;
    bool endOfStream_ = false;  // the data socket has delivered its last byte

    InboundStream inbound_;
    OutboundQueue outbound_;
    std::deque<std::unique_ptr<IoRequest>> reads_;  // in arrival order; served front first
    std::unordered_map<const void*, std::unique_ptr<IoRequest>> writes_;  // keyed by OutboundQueue token
};

}  // namespace win32layer
