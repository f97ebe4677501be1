#pragma once

#include "Connection.h"
#include "Event.h"
#include "IoRequest.h"
#include "KernelObject.h"
#include "NtStatus.h"
#include "OwnedMutex.h"
#include "Reactor.h"
#include "ReadDriver.h"

#include <memory>
#include <mutex>

namespace win32layer {

// What the server end and the client end of a pipe have in common: access rights, the read mode,
// reads, writes and cancellation through a Connection, and the handle's own event (which
// GetOverlappedResult waits on when an OVERLAPPED has no hEvent).
//
// Thread use: API calls from any thread, readiness callbacks from the reactor thread. mutex_ guards
// every mutable member of the end and of its Connection; subclasses' *Locked members expect it held.
// Once closed_ is set (by CloseHandle) the end does nothing more, so calls that looked the handle up
// just before it was closed fail with ERROR_INVALID_HANDLE, and late reactor callbacks are ignored.
class PipeEnd : public KernelObject, public IoSource, public ReadDriver, public std::enable_shared_from_this<PipeEnd> {
public:
    struct Access {
        bool read;
        bool write;
        bool setState;  // SetNamedPipeHandleState needs FILE_WRITE_ATTRIBUTES
    };

    PipeEnd(bool messageType, bool messageReadMode, Access access, bool overlapped);

    virtual bool isServer() const = 0;
    // Opened with FILE_FLAG_OVERLAPPED: calls with an OVERLAPPED return while the I/O is pending.
    bool isOverlapped() const { return overlapped_; }
    const std::shared_ptr<Event>& fileEvent() const { return fileEvent_; }

    // Start an operation; see Connection::submitReadLocked for the results.
    NtStatus::Value startRead(std::unique_ptr<IoRequest> request, bool* completedNow);
    NtStatus::Value startWrite(std::unique_ptr<IoRequest> request, bool* completedNow);
    // Whether anything matched (all pending operations of this handle for nullptr).
    bool cancel(const OVERLAPPED* overlapped);
    NtStatus::Value setReadMode(bool messageMode);

    void onIoReady(uint64_t registration, uint32_t events) final;
    void onHandleClosed() final;

    // A waiting thread drives the reads of the current connection (see ReadDriver).
    Drive beginDrive() final;
    bool drive(const Drive& drive) final;
    void endDrive(const Drive& drive) final;

protected:
    // The connection reads and writes go to, or nullptr when there is none.
    virtual Connection* connectionLocked() = 0;
    // Why a read or write fails while there is no connection.
    virtual NtStatus::Value unconnectedStatusLocked() const = 0;
    virtual void onIoReadyLocked(uint64_t registration, uint32_t events) = 0;
    // Cancels operations the connection does not hold (the server's pending connects).
    virtual bool cancelOthersLocked(const OVERLAPPED* overlapped);
    // Completes everything still pending and releases descriptors and files.
    virtual void closeLocked() = 0;

    mutable OwnedMutex mutex_;  // guards the members below, the subclasses' state and the Connection
    bool closed_ = false;

private:
    const bool messageType_;
    bool messageReadMode_;  // guarded by mutex_
    const Access access_;
    const bool overlapped_;
    const std::shared_ptr<Event> fileEvent_;
};

}  // namespace win32layer
