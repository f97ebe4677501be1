#pragma once

#include "PipeName.h"
#include "win32layer/Win32Api.h"

namespace win32layer {

// WaitNamedPipeW: waits until the named pipe's instance listens for a client.
//
// The instance's lock file records whether it is listening (see InstanceLock); the waiter reads it,
// and between reads sleeps in poll() on an inotify descriptor watching that file and the directory
// (for a new instance's lock file). It wakes only when something changed there, never on a timer,
// and re-reads; watches are placed before each read so no change can slip in between.
//
// Stateless; any thread.
class PipeWaiter {
public:
    // ERROR_SUCCESS when an instance is listening (now or before the time-out); ERROR_FILE_NOT_FOUND
    // when the pipe has no instance at the start; ERROR_SEM_TIMEOUT when none became free in time.
    // timeoutMs: NMPWAIT_USE_DEFAULT_WAIT for the server's default, NMPWAIT_WAIT_FOREVER for none.
    static DWORD wait(const PipeName& name, DWORD timeoutMs);
};

}  // namespace win32layer
