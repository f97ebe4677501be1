#include "HandleTable.h"

namespace win32layer {

HandleTable& HandleTable::instance()
{
    static HandleTable* table = new HandleTable();
    return *table;
}

HANDLE HandleTable::insert(std::shared_ptr<KernelObject> object)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (objects_.size() >= kMaxHandles)
        return nullptr;
    // With at most kMaxHandles entries among ~2^28 values, a free value is always found quickly.
    while (objects_.count(next_) != 0)
        next_ = next_ >= kLastValue ? kFirstValue : next_ + 4;
    const uintptr_t value = next_;
    next_ = next_ >= kLastValue ? kFirstValue : next_ + 4;
    objects_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleTable::lookup(HANDLE handle) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    return it == objects_.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> HandleTable::remove(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end())
        return nullptr;
    std::shared_ptr<KernelObject> object = std::move(it->second);
    objects_.erase(it);
    return object;
}

}  // namespace win32layer
