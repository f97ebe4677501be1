// Where sockets live and who may reach them: the per-user directory (under XDG_RUNTIME_DIR or the
// home directory), what is refused about it, files left behind, and the peer-credential check on
// accepted connections.

#include "LayerSupport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace w32layertest;

namespace {

// The fixture's XDG_RUNTIME_DIR and HOME, as a case found them.
struct Dirs { std::string run, home; };

// A case's set-up: arranges the variables and directories, returns the socket directory the case
// is about, or "" when it cannot be arranged here (the case is skipped).
using SetUp = std::string (*)(const Dirs&);

// Set-up steps; each returns its path, or "" when it failed (which fails the test).
bool succeeded(int result)
{
    EXPECT_EQ(result, 0) << std::strerror(errno);
    return result == 0;
}
std::string madeDir(const std::string& path, mode_t mode = 0700)
{
    return succeeded(::mkdir(path.c_str(), 0700)) && succeeded(::chmod(path.c_str(), mode)) ? path : "";
}
std::string madeFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    return succeeded(fd < 0 ? -1 : ::close(fd)) ? path : "";
}
std::string linkTo(const std::string& link, const std::string& target)
{
    return succeeded(::symlink(target.c_str(), link.c_str())) ? link : "";
}
// Only root can give a directory away; elsewhere the case is skipped.
std::string givenAway(const std::string& path)
{
    return ::geteuid() == 0 && succeeded(::chown(path.c_str(), 65534, 65534)) ? path : "";
}
// A directory of ours inside `parent` whose path is exactly `length` characters.
std::string ofLength(const std::string& parent, size_t length)
{
    return madeDir(parent + "/" + std::string(length - parent.size() - 1, 'd'));
}
std::string useRuntime(const std::string& runtime, const std::string& directory)
{
    return ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1) == 0 ? directory : "";
}
// Without XDG_RUNTIME_DIR, sockets go to <home>/.win32layer.
std::string inHome(const std::string& home)
{
    if (home.empty())
        return "";
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("HOME", home.c_str(), 1);
    return home + "/.win32layer";
}
// `path` as seen from the current directory.
std::string relative(const std::string& path) { return std::filesystem::relative(path).string(); }
// Without an absolute HOME the home is the password database's: here the real one, if the layer
// would accept it.
std::string passwordHome()
{
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[16384];
    struct stat info;
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr ||
        found->pw_dir[0] != '/' || ::stat(found->pw_dir, &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid() || (info.st_mode & 022) != 0)
        return "";
    ::unsetenv("XDG_RUNTIME_DIR");
    return std::string(found->pw_dir) + "/.win32layer";
}

// The longest socket directory whose socket paths (and their terminating NUL) fit sun_path.
constexpr size_t kLongest = sizeof(sockaddr_un::sun_path) - 1 - (sizeof("/0123456789abcdef0123456789abcdef.sock") - 1);
constexpr size_t kLongestRuntime = kLongest - sizeof("/win32layer") + 1;
constexpr size_t kLongestHome = kLongest - sizeof("/.win32layer") + 1;

struct Case {
    const char* label;
    SetUp setUp;
    DWORD error = ERROR_ACCESS_DENIED;  // what a refusal fails with
};

std::string caseName(const ::testing::TestParamInfo<Case>& info) { return info.param.label; }

class SecurityCase : public LayerTest, public ::testing::WithParamInterface<Case> {
protected:
    const Dirs dirs_{runtime_.path(), home_.path()};
};

// Socket directories the layer refuses rather than use or repair, and homes it refuses to make one
// in: every call that needs the directory fails, and nothing is created or changed.
using SecurityRefused = SecurityCase;

TEST_P(SecurityRefused, ByEveryCallAndLeftAsItWas)
{
    const std::string directory = GetParam().setUp(dirs_);
    if (directory.empty())
        GTEST_SKIP() << "cannot be arranged here";
    struct stat before = {}, after = {};
    const int existed = ::lstat(directory.c_str(), &before);
    const std::wstring name = uniqueName("refused");
    EXPECT_EQ(errorOf(Handle(createServer(name)).valid()), GetParam().error);
    EXPECT_EQ(errorOf(Handle(openClient(name)).valid()), GetParam().error);
    EXPECT_EQ(errorOf(WaitNamedPipeW(name.c_str(), 0)), GetParam().error);
    EXPECT_EQ(::lstat(directory.c_str(), &after), existed);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    std::error_code missing;
    EXPECT_TRUE(std::filesystem::is_empty(directory, missing) || missing);  // nothing in it, or through the link
}

INSTANTIATE_TEST_SUITE_P(
    Security, SecurityRefused,
    ::testing::Values(
        Case{"Symlink", [](const Dirs& d) { return linkTo(d.run + "/win32layer", madeDir(d.run + "/elsewhere")); }},
        Case{"OtherOwner", [](const Dirs& d) { return givenAway(madeDir(d.run + "/win32layer")); }},
        Case{"OpenToGroup", [](const Dirs& d) { return madeDir(d.run + "/win32layer", 0750); }},
        Case{"OpenToOthers", [](const Dirs& d) { return madeDir(d.run + "/win32layer", 0701); }},
        Case{"ReadOnly", [](const Dirs& d) { return madeDir(d.run + "/win32layer", 0500); }},
        Case{"SetGroupId", [](const Dirs& d) { return madeDir(d.run + "/win32layer", 02700); }},
        Case{"NotADirectory", [](const Dirs& d) { return madeFile(d.run + "/win32layer"); }},
        Case{"HomeOpenToGroup", [](const Dirs& d) { return madeDir(inHome(d.home), 0750); }},
        Case{"HomeWritableByGroup", [](const Dirs& d) { return inHome(madeDir(d.home + "/h", 0770)); }},
        Case{"HomeWritableByOthers", [](const Dirs& d) { return inHome(madeDir(d.home + "/h", 0702)); }},
        Case{"HomeOtherOwner", [](const Dirs& d) { return inHome(givenAway(madeDir(d.home + "/h"))); }},
        Case{"HomeNotADirectory", [](const Dirs& d) { return inHome(madeFile(d.home + "/h")); }},
        Case{"HomeMissing", [](const Dirs& d) { return inHome(d.home + "/missing"); }, ERROR_PATH_NOT_FOUND},
        // Too long a home is final: there is nowhere private left to go.
        Case{"HomeTooLong", [](const Dirs& d) { return inHome(ofLength(d.home, kLongestHome + 1)); },
             ERROR_FILENAME_EXCED_RANGE}),
    caseName);

// Everything under the test's two directories that belongs to the layer, symbolic links not followed.
std::vector<std::string> layerPaths(const Dirs& dirs)
{
    std::vector<std::string> paths;
    for (const std::string& root : {dirs.run, dirs.home}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (!entry.is_symlink() && entry.path().string().find("win32layer") != std::string::npos)
                paths.push_back(entry.path());
        }
    }
    return paths;
}

// Where sockets go: a server and a client meet in the directory, which the layer made private and
// ours; nothing of the layer's is anywhere else, and nothing is left once the handles are closed.
using SecurityPlaced = SecurityCase;

TEST_P(SecurityPlaced, InThisDirectoryAndTidiedAway)
{
    const std::string directory = GetParam().setUp(dirs_);
    if (directory.empty())
        GTEST_SKIP() << "cannot be arranged here";
    const std::wstring name = uniqueName("placed");
    Handle server(createServer(name));
    ASSERT_TRUE(server.valid()) << GetLastError();
    Handle client(openClient(name));
    EXPECT_TRUE(client.valid()) << GetLastError();
    const std::string socket = socketPathOf(name), lock = lockPathOf(name);
    EXPECT_EQ(socket.rfind(directory + "/", 0), 0u) << socket;
    struct stat info;
    EXPECT_TRUE(::lstat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode));
    EXPECT_EQ(::lstat(lock.c_str(), &info), 0);
    ASSERT_EQ(::lstat(directory.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode) && (info.st_mode & 07777) == 0700 && info.st_uid == ::geteuid());
    const std::string real = std::filesystem::canonical(directory);
    for (const std::string& path : layerPaths(dirs_))
        EXPECT_EQ(path.rfind(real, 0), 0u) << path;
    client.reset();
    server.reset();
    EXPECT_NE(::lstat(socket.c_str(), &info), 0);
    EXPECT_NE(::lstat(lock.c_str(), &info), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Security, SecurityPlaced,
    ::testing::Values(
        Case{"RuntimeDir", [](const Dirs& d) { return d.run + "/win32layer"; }},
        Case{"RuntimeDirAtTheLimit",
             [](const Dirs& d) {
                 const std::string runtime = ofLength(d.run, kLongestRuntime);
                 return useRuntime(runtime, runtime + "/win32layer");
             }},
        // XDG_RUNTIME_DIR values the layer passes over for the home.
        Case{"RuntimeDirUnset", [](const Dirs& d) { return inHome(d.home); }},
        Case{"RuntimeDirRelative", [](const Dirs& d) { return useRuntime(relative(d.run), d.home + "/.win32layer"); }},
        Case{"RuntimeDirOpenToOthers",
             [](const Dirs& d) { return succeeded(::chmod(d.run.c_str(), 0755)) ? d.home + "/.win32layer" : ""; }},
        Case{"RuntimeDirSymlink",
             [](const Dirs& d) { return useRuntime(linkTo(d.home + "/run", d.run), d.home + "/.win32layer"); }},
        Case{"RuntimeDirOtherOwner",
             [](const Dirs& d) { return givenAway(d.run).empty() ? "" : d.home + "/.win32layer"; }},
        Case{"RuntimeDirTooLong",
             [](const Dirs& d) { return useRuntime(ofLength(d.run, kLongestRuntime + 1), d.home + "/.win32layer"); }},
        // Homes the layer uses: ours and not writable by anyone else, reached through a link or not.
        Case{"HomeReadableByAll", [](const Dirs& d) { return inHome(madeDir(d.home + "/h", 0755)); }},
        Case{"HomeSymlink", [](const Dirs& d) { return inHome(linkTo(d.home + "/link", madeDir(d.home + "/real"))); }},
        Case{"HomeAtTheLimit", [](const Dirs& d) { return inHome(ofLength(d.home, kLongestHome)); }},
        Case{"PasswordHomeWhenHomeUnset", [](const Dirs&) { return ::unsetenv("HOME") == 0 ? passwordHome() : ""; }},
        Case{"PasswordHomeWhenHomeRelative",  // leads to the fixture's home, which would do if it were absolute
             [](const Dirs& d) { return ::setenv("HOME", relative(d.home).c_str(), 1) == 0 ? passwordHome() : ""; }}),
    caseName);

using Security = LayerTest;

TEST_F(Security, StaleFilesOfADeadInstanceAreReplaced)
{
    const std::wstring name = uniqueName("stale");
    CloseHandle(createServer(name));  // makes the directory
    // What a crashed owner leaves: an unlocked lock file and a socket nobody listens on.
    const int lock = ::open(lockPathOf(name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::write(lock, "garbage!", 8), 8);
    ::close(lock);
    const int dead = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unixAddress(socketPathOf(name));
    ASSERT_EQ(::bind(dead, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(dead);

    EXPECT_EQ(errorOf(Handle(openClient(name)).valid()), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(errorOf(WaitNamedPipeW(name.c_str(), 1)), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    Handle server(createServer(name));
    ASSERT_TRUE(server.valid()) << GetLastError();
    EXPECT_TRUE(Handle(openClient(name)).valid()) << GetLastError();
}

TEST_F(Security, LockFileThatIsASymlinkIsNotFollowed)
{
    const std::wstring name = uniqueName("lure");
    CloseHandle(createServer(name));  // makes the directory
    const std::string target = runtime_.path() + "/target";
    ASSERT_EQ(::symlink(target.c_str(), lockPathOf(name).c_str()), 0);
    EXPECT_EQ(errorOf(Handle(createServer(name)).valid()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    struct stat info;
    EXPECT_NE(::lstat(target.c_str(), &info), 0);  // never created
}

// A process of another user that reaches the socket anyway (here the directory is opened up on
// purpose) is dropped before it is answered, and the instance keeps listening.
TEST_F(Security, ConnectionFromAnotherUserIsDropped)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a process as another user";
    const std::wstring name = uniqueName("stranger");
    Handle server(createServer(name));
    ASSERT_TRUE(server.valid()) << GetLastError();
    const std::string socketPath = socketPathOf(name);
    const std::string directory = socketPath.substr(0, socketPath.rfind('/'));
    for (const std::string& path : {runtime_.path(), directory})
        ASSERT_EQ(::chmod(path.c_str(), 0711), 0);
    ASSERT_EQ(::chmod(socketPath.c_str(), 0777), 0);

    const sockaddr_un address = unixAddress(socketPath);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            ::_exit(3);
        char answer;
        ::_exit(::read(fd, &answer, 1) <= 0 ? 0 : 1);  // 0: dropped without an answer
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    for (const std::string& path : {directory, runtime_.path()})
        ASSERT_EQ(::chmod(path.c_str(), 0700), 0);
    Handle client(openClient(name));
    EXPECT_TRUE(client.valid()) << GetLastError();
    OVERLAPPED connect = {};
    EXPECT_EQ(errorOf(ConnectNamedPipe(server.h, &connect)), static_cast<DWORD>(ERROR_PIPE_CONNECTED));
}

}  // namespace
