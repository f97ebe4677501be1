#include "Errno.h"

#include <cerrno>

namespace win32layer {

DWORD Errno::toWin32Error(int error)
{
    switch (error) {
    case ENOENT:
    case ECONNREFUSED: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case ELOOP: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
    case ENOBUFS: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EAGAIN: return ERROR_PIPE_BUSY;
    case EPIPE:
    case ECONNRESET: return ERROR_BROKEN_PIPE;
    default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace win32layer
