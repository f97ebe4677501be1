#pragma once

#include "win32layer/Win32Api.h"

#include <QString>

// The one way both pipe ends of the module create their pipe instance, so that the write pipe
// and the read pipe always share the same parameters:
//
//   open mode      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED           (0x40000003)
//   pipe mode      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT (6)
//   instances      1 (a name can be created again only after its old handle is closed)
//   buffers        2048 bytes out, 2048 bytes in
//   time-out       0 (the system default); no security attributes
class VXPipeInstance
{
public:
    static constexpr int kMaxNameLength = 256;  // UTF-16 code units, without the terminator
    static constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    static constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    static constexpr DWORD kBufferSize = 2048;  // bytes, each direction
    static_assert(kOpenMode == 0x40000003, "overlapped duplex pipe");
    static_assert(kPipeMode == 6, "message pipe read in message mode");

    // Creates the instance; on failure writes the debug message
    // "CreateNamedPipe failed with <code>./n" and returns INVALID_HANDLE_VALUE. `name` must not be
    // longer than kMaxNameLength (the server checks before anything is created).
    static HANDLE Create(const QString& name);

    // How each pipe end lets go of what it owns, once its thread is over: closes the two events
    // and the pipe instance, each if it is open, and clears them.
    static void CloseHandles(HANDLE& connectEvent, HANDLE& exitEvent, HANDLE& pipe);
};
