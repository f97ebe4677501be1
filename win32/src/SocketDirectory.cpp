#include "SocketDirectory.h"

#include "Errno.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace win32layer {

namespace {

const char kSubdirectory[] = "/win32layer";
// "/" + 32 hex digits + ".sock"
constexpr size_t kLongestFileName = 1 + 32 + 5;

bool isPrivateDirectory(const struct stat& info)
{
    return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

std::string chooseDirectory()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::string candidate = std::string(runtime) + kSubdirectory;
        struct stat info;
        if (candidate.size() + kLongestFileName < sizeof(sockaddr_un::sun_path) &&
            ::lstat(runtime, &info) == 0 && isPrivateDirectory(info)) {
            return candidate;
        }
    }
    return "/tmp/win32layer-" + std::to_string(geteuid());
}

}  // namespace

DWORD SocketDirectory::resolve(bool create, std::string* path)
{
    const std::string directory = chooseDirectory();
    struct stat info;
    if (::lstat(directory.c_str(), &info) != 0) {
        if (errno != ENOENT)
            return Errno::toWin32Error(errno);
        if (!create)
            return ERROR_FILE_NOT_FOUND;
        // 0700 whatever the umask: mkdir can only take bits away. EEXIST means another thread or
        // process won the race; the lstat below judges what it made.
        if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
            return Errno::toWin32Error(errno);
        if (::lstat(directory.c_str(), &info) != 0)
            return Errno::toWin32Error(errno);
    }
    if (!isPrivateDirectory(info))
        return ERROR_ACCESS_DENIED;
    *path = directory;
    return ERROR_SUCCESS;
}

std::string SocketDirectory::socketPath(const std::string& directory, const PipeName& name)
{
    return directory + "/" + name.fileStem() + ".sock";
}

std::string SocketDirectory::lockPath(const std::string& directory, const PipeName& name)
{
    return directory + "/" + name.fileStem() + ".lock";
}

}  // namespace win32layer
