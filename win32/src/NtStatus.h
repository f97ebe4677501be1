#pragma once

#include "win32layer/Win32Api.h"

#include <cstdint>

namespace win32layer {

// The NTSTATUS values the layer stores in OVERLAPPED::Internal, with the numbers Windows uses, so
// that code reading Internal directly (as Wine's and Qt's do) sees what it would see on Windows.
// Every operation result is carried as one of these and turned into a Win32 error code in exactly
// one place, NtStatus::toWin32Error.
class NtStatus {
public:
    using Value = uint32_t;

    static constexpr Value kSuccess = 0x00000000u;
    static constexpr Value kPending = 0x00000103u;
    static constexpr Value kBufferOverflow = 0x80000005u;  // a message longer than the read buffer
    static constexpr Value kInvalidHandle = 0xC0000008u;
    static constexpr Value kInvalidParameter = 0xC000000Du;
    static constexpr Value kNoMemory = 0xC0000017u;
    static constexpr Value kAccessDenied = 0xC0000022u;
    static constexpr Value kPipeBusy = 0xC00000AEu;
    static constexpr Value kPipeDisconnected = 0xC00000B0u;
    static constexpr Value kPipeClosing = 0xC00000B1u;  // writing to a pipe whose reader has left
    static constexpr Value kPipeConnected = 0xC00000B2u;
    static constexpr Value kPipeListening = 0xC00000B3u;
    static constexpr Value kIllegalFunction = 0xC00000AFu;
    static constexpr Value kCancelled = 0xC0000120u;
    static constexpr Value kPipeBroken = 0xC000014Bu;
    static constexpr Value kNotFound = 0xC0000225u;

    // RtlNtStatusToDosError for the values above; anything else becomes ERROR_GEN_FAILURE.
    static DWORD toWin32Error(Value status);

    // Success and informational values complete a call with TRUE; warnings (STATUS_BUFFER_OVERFLOW)
    // and errors with FALSE.
    static bool isSuccess(Value status) { return status == kSuccess; }
};

}  // namespace win32layer
