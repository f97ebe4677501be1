#include "IoCall.h"

#include "Event.h"
#include "HandleTable.h"
#include "LastError.h"
#include "PipeEnd.h"
#include "ReadDriver.h"

namespace win32layer {

IoCall::IoCall(const std::shared_ptr<PipeEnd>& end, OVERLAPPED* overlapped)
    : end_(end),
      callerOverlapped_(overlapped),
      target_(overlapped != nullptr ? overlapped : &localOverlapped_),
      blocking_(overlapped == nullptr || !end->isOverlapped())
{
}

DWORD IoCall::prepare()
{
    if (callerOverlapped_ != nullptr) {
        // The low bit of hEvent only tells Windows to skip completion ports.
        const auto value = reinterpret_cast<uintptr_t>(callerOverlapped_->hEvent) & ~uintptr_t(1);
        if (value != 0) {
            userEvent_ = HandleTable::instance().lookupAs<Event>(reinterpret_cast<HANDLE>(value));
            if (!userEvent_)
                return ERROR_INVALID_HANDLE;
        }
    }
    if (blocking_)
        wakeup_ = std::make_shared<Event>(true, false);
    IoRequest::storeStatus(target_, NtStatus::kPending);
    if (userEvent_)
        userEvent_->reset();
    return ERROR_SUCCESS;
}

std::unique_ptr<IoRequest> IoCall::makeRequest(IoRequest::Kind kind)
{
    return std::make_unique<IoRequest>(kind, target_, userEvent_, end_->fileEvent(), wakeup_,
                                       kind == IoRequest::Kind::Read ? std::weak_ptr<ReadDriver>(end_)
                                                                     : std::weak_ptr<ReadDriver>());
}

BOOL IoCall::finish(NtStatus::Value started, bool completedNow, LPDWORD bytes)
{
    if (started != NtStatus::kPending) {
        LastError::set(NtStatus::toWin32Error(started));
        return FALSE;
    }
    if (blocking_) {
        wakeup_->wait(INFINITE);
    } else if (!completedNow) {
        LastError::set(ERROR_IO_PENDING);
        return FALSE;
    }
    const NtStatus::Value status = IoRequest::loadStatus(target_);
    // As KERNELBASE does: with an OVERLAPPED, the count is reported only for a plain success.
    if (bytes != nullptr)
        *bytes = (callerOverlapped_ != nullptr && status != NtStatus::kSuccess) ? 0 : static_cast<DWORD>(target_->InternalHigh);
    if (status == NtStatus::kSuccess)
        return TRUE;
    LastError::set(NtStatus::toWin32Error(status));
    return FALSE;
}

}  // namespace win32layer
