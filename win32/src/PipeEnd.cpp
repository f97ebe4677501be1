#include "PipeEnd.h"

#include <new>
#include <utility>

namespace win32layer {

namespace {

// What a pending read attaches to its events: the way back to its pipe end. Holds no strong
// reference, so a waiting thread never keeps a closed pipe end alive.
class PendingRead final : public WaitSource {
public:
    explicit PendingRead(std::weak_ptr<PipeEnd> end) : end_(std::move(end)) {}

    bool service(bool enrol, unsigned ready, WaitTargets* targets) override
    {
        const std::shared_ptr<PipeEnd> end = end_.lock();
        return end && end->serviceWaiter(*this, enrol, ready, targets);
    }

    void leave() override
    {
        if (const std::shared_ptr<PipeEnd> end = end_.lock())
            end->leaveWaiter(*this);
    }

private:
    const std::weak_ptr<PipeEnd> end_;
};

}  // namespace

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
    std::lock_guard<std::mutex> lock(mutex_);
    *completedNow = false;
    if (closed_)
        return NtStatus::kInvalidHandle;
    if (!access_.read)
        return NtStatus::kAccessDenied;
    Connection* connection = connectionLocked();
    if (connection == nullptr)
        return unconnectedStatusLocked();
    request->messageMode = messageReadMode_;
    fileEvent_->reset();
    IoRequest* const submitted = request.get();
    const NtStatus::Value status = connection->submitReadLocked(std::move(request), completedNow);
    if (status == NtStatus::kPending && !*completedNow) {
        // Still queued (we hold the mutex), so `submitted` is alive. Without memory for the source,
        // waiters simply sleep until the reactor completes the read.
        try {
            submitted->attachWaitSource(std::make_shared<PendingRead>(weak_from_this()));
        } catch (const std::bad_alloc&) {
        }
    }
    return status;
}

NtStatus::Value PipeEnd::startWrite(std::unique_ptr<IoRequest> request, bool* completedNow)
{
    std::lock_guard<std::mutex> lock(mutex_);
    *completedNow = false;
    if (closed_)
        return NtStatus::kInvalidHandle;
    if (!access_.write)
        return NtStatus::kAccessDenied;
    Connection* connection = connectionLocked();
    if (connection == nullptr)
        return unconnectedStatusLocked();
    fileEvent_->reset();
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
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return false;
    bool any = cancelOthersLocked(overlapped);
    if (Connection* connection = connectionLocked())
        any = connection->cancelLocked(overlapped) || any;
    return any;
}

NtStatus::Value PipeEnd::setReadMode(bool messageMode)
{
    std::lock_guard<std::mutex> lock(mutex_);
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
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_)
        onIoReadyLocked(registration, events);
}

bool PipeEnd::serviceWaiter(WaitSource& read, bool enrol, unsigned ready, WaitTargets* targets)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // A pending read always has its connection: losing it fails the read.
    Connection* connection = closed_ ? nullptr : connectionLocked();
    if (connection != nullptr && !read.finishedLocked()) {
        if (enrol)
            read.enrolLocked();
        if (ready != 0)
            connection->serviceLocked((ready & (1u << WaitTargets::kControl)) != 0);
        else if (enrol)
            connection->updateInterestLocked(false);  // the reactor need not watch for data now
        if (!read.finishedLocked() && connection->waitTargetsLocked(targets))
            return true;
        enrol = false;  // enrolled above: leave again
    }
    if (!enrol)
        leaveLocked(read, connection);
    return false;
}

void PipeEnd::leaveWaiter(WaitSource& read)
{
    std::lock_guard<std::mutex> lock(mutex_);
    leaveLocked(read, closed_ ? nullptr : connectionLocked());
}

void PipeEnd::leaveLocked(WaitSource& read, Connection* connection)
{
    read.leaveLocked();
    // Other reads may still be pending with nobody left to drive them: the reactor watches again.
    if (connection != nullptr)
        connection->updateInterestLocked(false);
}

void PipeEnd::onHandleClosed()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return;
    closed_ = true;
    closeLocked();
}

bool PipeEnd::cancelOthersLocked(const OVERLAPPED* /*overlapped*/) { return false; }

}  // namespace win32layer
