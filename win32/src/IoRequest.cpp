#include "IoRequest.h"

#include "Event.h"
#include "WaitSource.h"

namespace win32layer {

IoRequest::IoRequest(Kind kind, OVERLAPPED* overlapped, std::shared_ptr<Event> userEvent,
                     std::shared_ptr<Event> fileEvent, std::shared_ptr<Event> callerWakeup)
    : kind_(kind),
      overlapped_(overlapped),
      userEvent_(std::move(userEvent)),
      fileEvent_(std::move(fileEvent)),
      callerWakeup_(std::move(callerWakeup))
{
}

IoRequest::~IoRequest()
{
    // Every pending request is completed before it is dropped; this only guards the events against
    // keeping a source that nothing will ever finish.
    if (waitSource_) {
        for (Event* event : {userEvent_.get(), fileEvent_.get(), callerWakeup_.get()}) {
            if (event != nullptr)
                event->detach(waitSource_.get());
        }
    }
}

void IoRequest::attachWaitSource(std::shared_ptr<WaitSource> source)
{
    waitSource_ = std::move(source);
    for (Event* event : {userEvent_.get(), fileEvent_.get(), callerWakeup_.get()}) {
        if (event != nullptr)
            event->attach(waitSource_);
    }
}

void IoRequest::complete(NtStatus::Value status, uint32_t bytes)
{
    overlapped_->InternalHigh = bytes;
    storeStatus(overlapped_, status);
    // Finished before the events are set: a waiter that wakes up finds nothing left to drive.
    std::shared_ptr<WaitSource> source = std::move(waitSource_);
    if (source)
        source->finishLocked();
    if (userEvent_)
        userEvent_->set(source.get());
    if (fileEvent_)
        fileEvent_->set(source.get());
    if (callerWakeup_)
        callerWakeup_->set(source.get());
}

void IoRequest::storeStatus(OVERLAPPED* overlapped, NtStatus::Value status)
{
    __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
}

NtStatus::Value IoRequest::loadStatus(const OVERLAPPED* overlapped)
{
    return static_cast<NtStatus::Value>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
}

}  // namespace win32layer
