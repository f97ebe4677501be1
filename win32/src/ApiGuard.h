#pragma once

#include "LastError.h"

#include <new>

namespace win32layer {

// Runs the body of an exported function so that no C++ exception crosses the C boundary: running
// out of memory becomes ERROR_NOT_ENOUGH_MEMORY, anything else ERROR_GEN_FAILURE, and the function
// returns its failure value.
template <typename Result, typename Body>
Result apiGuard(Result failure, Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        LastError::set(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        LastError::set(ERROR_GEN_FAILURE);
    }
    return failure;
}

}  // namespace win32layer
