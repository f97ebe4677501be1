#include "NtStatus.h"

namespace win32layer {

DWORD NtStatus::toWin32Error(Value status)
{
    switch (status) {
    case kSuccess: return ERROR_SUCCESS;
    case kPending: return ERROR_IO_PENDING;
    case kBufferOverflow: return ERROR_MORE_DATA;
    case kInvalidHandle: return ERROR_INVALID_HANDLE;
    case kInvalidParameter: return ERROR_INVALID_PARAMETER;
    case kNoMemory: return ERROR_NOT_ENOUGH_MEMORY;
    case kAccessDenied: return ERROR_ACCESS_DENIED;
    case kPipeBusy: return ERROR_PIPE_BUSY;
    case kPipeDisconnected: return ERROR_PIPE_NOT_CONNECTED;
    case kPipeClosing: return ERROR_NO_DATA;
    case kPipeConnected: return ERROR_PIPE_CONNECTED;
    case kPipeListening: return ERROR_PIPE_LISTENING;
    case kIllegalFunction: return ERROR_INVALID_FUNCTION;
    case kCancelled: return ERROR_OPERATION_ABORTED;
    case kPipeBroken: return ERROR_BROKEN_PIPE;
    case kNotFound: return ERROR_NOT_FOUND;
    default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace win32layer
