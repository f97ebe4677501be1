#pragma once

#include "PipeName.h"
#include "win32layer/Win32Api.h"

#include <string>

namespace win32layer {

// Where a user's pipe sockets and lock files live: $XDG_RUNTIME_DIR/win32layer when that variable
// names a private directory (absolute, a real directory, ours, no group or other permission bits),
// otherwise /tmp/win32layer-<euid>. The directory is private to the user and is the only access
// control on the sockets, so a directory that is a symbolic link, belongs to another user or has any
// 077 mode bit is refused, never repaired: it may be someone else's trap. Abstract-namespace sockets
// are never used, because they have no permissions at all.
//
// Resolved on every create/open (cheap: one lstat), so a test can point XDG_RUNTIME_DIR elsewhere.
// Any thread.
class SocketDirectory {
public:
    // Sets *path to the directory. Returns ERROR_SUCCESS; ERROR_FILE_NOT_FOUND when it does not exist
    // and create is false; ERROR_ACCESS_DENIED when it is not safe to use.
    static DWORD resolve(bool create, std::string* path);

    static std::string socketPath(const std::string& directory, const PipeName& name);
    static std::string lockPath(const std::string& directory, const PipeName& name);
};

}  // namespace win32layer
