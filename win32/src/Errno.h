#pragma once

#include "win32layer/Win32Api.h"

namespace win32layer {

// Turns a failed system call's errno into the Win32 error a caller of the emulated function
// expects. Calls with a more specific meaning (a refused connect is "file not found") map those
// cases themselves first.
class Errno {
public:
    static DWORD toWin32Error(int error);
};

}  // namespace win32layer
