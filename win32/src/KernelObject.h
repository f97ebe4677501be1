#pragma once

namespace win32layer {

// Anything a HANDLE can name. Objects are reference counted (std::shared_ptr): the handle table
// holds one reference and every call in progress holds another for as long as it runs, so closing
// a handle while another thread waits on the object or has I/O pending on it never frees the object
// under that thread.
class KernelObject {
public:
    KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    virtual ~KernelObject() = default;

    // Called once by CloseHandle, after the handle has left the table. Objects with I/O end it here:
    // once this returns, nothing may touch the caller's OVERLAPPED structures or buffers again.
    virtual void onHandleClosed() {}
};

}  // namespace win32layer
