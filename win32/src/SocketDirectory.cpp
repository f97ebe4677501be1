#include "SocketDirectory.h"

#include "Errno.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace win32layer {

namespace {

const char kRuntimeSubdirectory[] = "/win32layer";
const char kHomeSubdirectory[] = "/.win32layer";
// "/" + 32 hex digits + ".sock"
constexpr size_t kLongestFileName = 1 + 32 + 5;

bool fitsSocketPaths(const std::string& directory)
{
    return directory.size() + kLongestFileName < sizeof(sockaddr_un::sun_path);
}

// What $XDG_RUNTIME_DIR must be: ours and closed to everyone else.
bool isPrivateDirectory(const struct stat& info)
{
    return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

// The socket directory is exactly what mkdir(0700) makes; any other mode, even one without group or
// other bits (0500, 02700), is not something we made.
bool isSocketDirectory(const struct stat& info)
{
    return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 07777) == 0700;
}

// $HOME when absolute, else the effective user's password entry. Empty when neither gives one.
std::string homeDirectory()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    std::vector<char> buffer(1024);
    struct passwd entry;
    struct passwd* found = nullptr;
    int error;
    while ((error = ::getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
        return std::string();
    return found->pw_dir;
}

DWORD chooseDirectory(std::string* directory)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::string candidate = std::string(runtime) + kRuntimeSubdirectory;
        struct stat info;
        if (fitsSocketPaths(candidate) && ::lstat(runtime, &info) == 0 && isPrivateDirectory(info)) {
            *directory = std::move(candidate);
            return ERROR_SUCCESS;
        }
    }

    const std::string home = homeDirectory();
    if (home.empty())
        return ERROR_PATH_NOT_FOUND;
    std::string candidate = home + kHomeSubdirectory;
    // Too long is final: a shorter place would have to be a shared directory.
    if (!fitsSocketPaths(candidate))
        return ERROR_FILENAME_EXCED_RANGE;
    // The home may be a symbolic link (it often is), so follow it; what it leads to must be ours and
    // closed to writes by anyone else, who could otherwise create our directory before us or rename
    // it away and put theirs in its place. The directory inside is lstat'ed by resolve().
    struct stat info;
    if (::stat(home.c_str(), &info) != 0)
        return errno == ENOENT ? ERROR_PATH_NOT_FOUND : Errno::toWin32Error(errno);
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 022) != 0)
        return ERROR_ACCESS_DENIED;
    *directory = std::move(candidate);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD SocketDirectory::resolve(bool create, std::string* path)
{
    std::string directory;
    DWORD error = chooseDirectory(&directory);
    if (error != ERROR_SUCCESS)
        return error;
    struct stat info;
    if (::lstat(directory.c_str(), &info) != 0) {
        if (errno != ENOENT)
            return Errno::toWin32Error(errno);
        if (!create)
            return ERROR_FILE_NOT_FOUND;
        // The umask can only take bits away, so this is 0700 or (under an umask that masks the
        // owner's own bits) something refused below. EEXIST means another thread or process won the
        // race; the lstat below judges what it made.
        if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
            return Errno::toWin32Error(errno);
        if (::lstat(directory.c_str(), &info) != 0)
            return Errno::toWin32Error(errno);
    }
    if (!isSocketDirectory(info))
        return ERROR_ACCESS_DENIED;
    *path = std::move(directory);
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
