#include "LastError.h"

namespace win32layer {

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

DWORD LastError::get() { return t_lastError; }

void LastError::set(DWORD code) { t_lastError = code; }

}  // namespace win32layer
