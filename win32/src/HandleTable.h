#pragma once

#include "KernelObject.h"
#include "win32layer/Win32Api.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace win32layer {

// The process-wide map from HANDLE values to objects.
//
// Handle values are multiples of 4 (never 0, never INVALID_HANDLE_VALUE), handed out in increasing
// order and reused only after wrapping around, so a stale handle is very unlikely to name a new
// object. Thread use: any thread; every member is guarded by mutex_.
class HandleTable {
public:
    // Deliberately leaked: handles may still be closed from static destructors of other libraries.
    static HandleTable& instance();

    // Returns nullptr when the table is full.
    HANDLE insert(std::shared_ptr<KernelObject> object);
    std::shared_ptr<KernelObject> lookup(HANDLE handle) const;
    // Removes the entry and returns the object, or nullptr if the handle was not valid.
    std::shared_ptr<KernelObject> remove(HANDLE handle);

    template <typename T>
    std::shared_ptr<T> lookupAs(HANDLE handle) const
    {
        return std::dynamic_pointer_cast<T>(lookup(handle));
    }

private:
    HandleTable() = default;

    static constexpr uintptr_t kFirstValue = 0x100;
    static constexpr uintptr_t kLastValue = 0x3FFFFFFC;
    static constexpr size_t kMaxHandles = 1u << 20;

    mutable std::mutex mutex_;  // protects objects_ and next_
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects_;
    uintptr_t next_ = kFirstValue;
};

}  // namespace win32layer
