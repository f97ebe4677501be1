#pragma once

#include "win32layer/Win32Api.h"

namespace win32layer {

// The calling thread's last-error value, as GetLastError/SetLastError see it. Each thread has its
// own, so no synchronisation is needed.
class LastError {
public:
    static DWORD get();
    static void set(DWORD code);
};

}  // namespace win32layer
