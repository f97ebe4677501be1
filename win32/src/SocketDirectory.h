#pragma once

#include "PipeName.h"
#include "win32layer/Win32Api.h"

#include <string>

namespace win32layer {

// Where a user's pipe sockets and lock files live: $XDG_RUNTIME_DIR/win32layer when that variable
// names a private directory (absolute, a real directory, ours, no group or other permission bits)
// and the socket paths in it fit a sockaddr_un; otherwise <home>/.win32layer, home being $HOME when
// it is absolute, else the password database's entry for the effective user. Never a shared
// directory such as /tmp: there another user could create the name first and lock us out.
//
// The directory is the only access control on the sockets, so it is refused, never repaired, when
// it is a symbolic link, belongs to another user or its mode is not exactly 0700: it may be someone
// else's trap. So is a home that is not a directory of ours closed to group and other writes, since
// whoever can write to it can replace the directory in it. Abstract-namespace sockets are never
// used, because they have no permissions at all.
//
// Resolved on every create/open (cheap: an lstat or two, getpwuid_r only without an absolute $HOME),
// so a test can point XDG_RUNTIME_DIR and HOME elsewhere. Any thread.
class SocketDirectory {
public:
    // Sets *path to the directory. Returns ERROR_SUCCESS; ERROR_FILE_NOT_FOUND when it does not exist
    // and create is false; ERROR_ACCESS_DENIED when it or the home it is in is not safe to use;
    // ERROR_PATH_NOT_FOUND when there is no home; ERROR_FILENAME_EXCED_RANGE when the home is too
    // long for socket paths under it.
    static DWORD resolve(bool create, std::string* path);

    static std::string socketPath(const std::string& directory, const PipeName& name);
    static std::string lockPath(const std::string& directory, const PipeName& name);
};

}  // namespace win32layer
