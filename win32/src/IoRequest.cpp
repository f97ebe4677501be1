#include "IoRequest.h"

#include "Event.h"

namespace win32layer {

IoRequest::IoRequest(Kind kind, OVERLAPPED* overlapped, std::shared_ptr<Event> userEvent,
                     std::shared_ptr<Event> fileEvent, std::shared_ptr<Event> callerWakeup,
                     const std::weak_ptr<ReadDriver>& driver)
    : kind_(kind),
      overlapped_(overlapped),
      userEvent_(std::move(userEvent)),
      fileEvent_(std::move(fileEvent)),
      callerWakeup_(std::move(callerWakeup))
{
    // Before the read is queued, so that it is never pending unannounced; it leaves the events
    // with the request, whether it completed or failed at once.
    if (kind_ == Kind::Read && !driver.expired()) {
        Event::attachRead(this, driver, userEvent_.get(), fileEvent_.get(), callerWakeup_.get());
        attached_ = true;
    }
}

IoRequest::~IoRequest()
{
    if (attached_)
        Event::detachRead(this, userEvent_.get(), fileEvent_.get(), callerWakeup_.get());
}

void IoRequest::complete(NtStatus::Value status, uint32_t bytes)
{
    overlapped_->InternalHigh = bytes;
    storeStatus(overlapped_, status);
    if (userEvent_)
        userEvent_->set();
    if (fileEvent_)
        fileEvent_->set();
    if (callerWakeup_)
        callerWakeup_->set();
}

void IoRequest::resetEventsLocked()
{
    if (userEvent_)
        userEvent_->reset();
    if (fileEvent_)
        fileEvent_->reset();
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
