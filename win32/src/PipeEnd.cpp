#include "PipeEnd.h"

#include <cassert>

namespace win32layer {

PipeEnd::PipeEnd(bool messageType, bool messageReadMode, Access access, bool overlapped)
    : messageType_(messageType),
      messageReadMode_(messageReadMode),
      access_(access),
      overlapped_(overlapped),
      fileEvent_(std::make_shared<Event>(true, true))
{
}

NtStatus::Value PipeEnd::startRead(std::unique_ptr<IoRequest> request, bool* completedNow)
{
    std::lock_guard<OwnedMutex> lock(mutex_);
    *completedNow = false;
    if (closed_)
        return NtStatus::kInvalidHandle;
    if (!access_.read)
        return NtStatus::kAccessDenied;
    Connection* connection = connectionLocked();
    if (connection == nullptr)
        return unconnectedStatusLocked();
    request->messageMode = messageReadMode_;
    request->resetEventsLocked();
    return connection->submitReadLocked(std::move(request), completedNow);
}

NtStatus::Value PipeEnd::startWrite(std::unique_ptr<IoRequest> request, bool* completedNow)
{
    std::lock_guard<OwnedMutex> lock(mutex_);
    *completedNow = false;
    if (closed_)
        return NtStatus::kInvalidHandle;
    if (!access_.write)
        return NtStatus::kAccessDenied;
    Connection* connection = connectionLocked();
    if (connection == nullptr)
        return unconnectedStatusLocked();
    request->resetEventsLocked();
    if (!messageType_ && request->length == 0) {
        // A byte stream has no empty messages: nothing to send, nothing for the reader to see.
        if (connection->stateLocked() == Connection::State::Disconnected)
            return NtStatus::kPipeDisconnected;
        if (connection->stateLocked() == Connection::State::PeerClosed)
            return NtStatus::kPipeClosing;
        request->complete(NtStatus::kSuccess, 0);
        *completedNow = true;
        return NtStatus::kPending;
    }
    return connection->submitWriteLocked(std::move(request), completedNow);
}

bool PipeEnd::cancel(const OVERLAPPED* overlapped)
{
    std::lock_guard<OwnedMutex> lock(mutex_);
    if (closed_)
        return false;
    bool any = cancelOthersLocked(overlapped);
    if (Connection* connection = connectionLocked())
        any = connection->cancelLocked(overlapped) || any;
    return any;
}

NtStatus::Value PipeEnd::setReadMode(bool messageMode)
{
    std::lock_guard<OwnedMutex> lock(mutex_);
    if (closed_)
        return NtStatus::kInvalidHandle;
    if (!access_.setState)
        return NtStatus::kAccessDenied;
    if (messageMode && !messageType_)
        return NtStatus::kInvalidParameter;
    messageReadMode_ = messageMode;
    return NtStatus::kSuccess;
}

void PipeEnd::onIoReady(uint64_t registration, uint32_t events)
{
    assert(Reactor::instance()->isReactorThread() && "readiness is reported on the reactor thread");
    std::lock_guard<OwnedMutex> lock(mutex_);
    if (!closed_)
        onIoReadyLocked(registration, events);
}

void PipeEnd::onHandleClosed()
{
    std::lock_guard<OwnedMutex> lock(mutex_);
    if (closed_)
        return;
    closed_ = true;
    closeLocked();
}

ReadDriver::Drive PipeEnd::beginDrive()
{
    std::lock_guard<OwnedMutex> lock(mutex_);
    Connection* connection = closed_ ? nullptr : connectionLocked();
    return connection ? connection->beginDriveLocked() : Drive();
}

bool PipeEnd::drive(const Drive& drive)
{
    std::lock_guard<OwnedMutex> lock(mutex_);
    Connection* connection = closed_ ? nullptr : connectionLocked();
    // A connection that has been replaced is gone, and so are its reads.
    return connection && connection->id() == drive.connection && connection->driveLocked();
}

void PipeEnd::endDrive(const Drive& drive)
{
    std::lock_guard<OwnedMutex> lock(mutex_);
    Connection* connection = closed_ ? nullptr : connectionLocked();
    if (connection && connection->id() == drive.connection)
        connection->endDriveLocked();
}

bool PipeEnd::cancelOthersLocked(const OVERLAPPED* /*overlapped*/) { return false; }

}  // namespace win32layer
