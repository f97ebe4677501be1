// Where sockets live and who may reach them: the per-user directory (under XDG_RUNTIME_DIR or the
// home directory) and what is refused about it, files left behind, and the peer-credential check on
// accepted connections.

#include "LayerSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

using namespace w32layertest;

namespace {

HANDLE createServer(const std::wstring& name)
{
    return CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr);
}

HANDLE openClient(const std::wstring& name)
{
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Every call that needs the socket directory fails with `error`.
void expectEveryCallFails(const std::wstring& name, DWORD error)
{
    SetLastError(0);
    EXPECT_EQ(createServer(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), error);
    SetLastError(0);
    EXPECT_EQ(openClient(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), error);
    SetLastError(0);
    EXPECT_FALSE(WaitNamedPipeW(name.c_str(), 0));
    EXPECT_EQ(GetLastError(), error);
}

// A server and a client meet through `directory`: both files of the instance are there, and the
// directory is the user's own with mode 0700.
void expectPipeWorksIn(const std::string& directory)
{
    const std::wstring name = uniqueName("meet");
    HANDLE server = createServer(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE client = openClient(name);
    EXPECT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(listDirectory(directory).size(), 2u);  // socket and lock file
    struct stat info;
    EXPECT_EQ(::lstat(directory.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    CloseHandle(client);
    CloseHandle(server);
}

// `absolute` as seen from the current directory, without a leading slash.
std::string relativePathTo(const std::string& absolute)
{
    char cwd[4096];
    EXPECT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    std::string up;
    for (const char* c = cwd; *c != '\0'; ++c) {
        if (*c == '/' && c[1] != '\0')
            up += "../";
    }
    return up + absolute.substr(1);
}

// A fresh directory of ours, mode 0700, inside `parent` whose path is exactly `length` characters.
std::string directoryOfLength(const std::string& parent, size_t length)
{
    EXPECT_LT(parent.size() + 1, length);
    const std::string path = parent + "/" + std::string(length - parent.size() - 1, 'd');
    EXPECT_EQ(::mkdir(path.c_str(), 0700), 0) << std::strerror(errno);
    return path;
}

// The longest socket directory whose socket paths (and their terminating NUL) fit sun_path.
constexpr size_t kLongestSocketDirectory =
    sizeof(sockaddr_un::sun_path) - 1 - (sizeof("/0123456789abcdef0123456789abcdef.sock") - 1);

// Every test has its own XDG_RUNTIME_DIR and HOME, so a fallback never touches the real home.
class Security : public ::testing::Test {
protected:
    TempRuntimeDir runtime_;
    TempHomeDir home_;
};

TEST_F(Security, SocketDirectoryIsCreatedPrivate)
{
    HANDLE server = createServer(uniqueName("private"));
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    struct stat info;
    ASSERT_EQ(::lstat(runtime_.socketDirectory().c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    CloseHandle(server);
}

// Where the socket directory is: XDG_RUNTIME_DIR, or HOME with XDG_RUNTIME_DIR unset.
enum class Place { RuntimeDir, Home };

std::string placeName(Place place) { return place == Place::RuntimeDir ? "RuntimeDir" : "Home"; }

// Socket directories the layer must refuse rather than use or repair.
struct UnsafeDirectory {
    const char* label;
    enum Kind { Symlink, OtherOwner, Mode, File } kind;
    mode_t mode;  // for Mode
};

class SecurityUnsafeDirectory : public Security,
                                public ::testing::WithParamInterface<std::tuple<Place, UnsafeDirectory>> {};

TEST_P(SecurityUnsafeDirectory, IsRefusedByEveryCall)
{
    const Place place = std::get<0>(GetParam());
    const UnsafeDirectory& unsafe = std::get<1>(GetParam());
    if (place == Place::Home)
        ::unsetenv("XDG_RUNTIME_DIR");  // runtime_ puts it back
    const std::string parent = place == Place::Home ? home_.path() : runtime_.path();
    const std::string directory = place == Place::Home ? home_.socketDirectory() : runtime_.socketDirectory();
    switch (unsafe.kind) {
    case UnsafeDirectory::Symlink: {
        const std::string elsewhere = parent + "/elsewhere";
        ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
        ASSERT_EQ(::symlink(elsewhere.c_str(), directory.c_str()), 0);
        break;
    }
    case UnsafeDirectory::OtherOwner:
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to give a directory away";
        ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
        ASSERT_EQ(::chown(directory.c_str(), 65534, 65534), 0);
        break;
    case UnsafeDirectory::Mode:
        ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(directory.c_str(), unsafe.mode), 0);
        break;
    case UnsafeDirectory::File: {
        const int fd = ::open(directory.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0700);
        ASSERT_GE(fd, 0);
        ::close(fd);
        break;
    }
    }
    struct stat before;
    ASSERT_EQ(::lstat(directory.c_str(), &before), 0);

    expectEveryCallFails(uniqueName("unsafe"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(listDirectory(directory).empty());  // nothing created in it, or through the link
    struct stat after;
    ASSERT_EQ(::lstat(directory.c_str(), &after), 0);  // and it is left as it was
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
}

INSTANTIATE_TEST_SUITE_P(
    Security, SecurityUnsafeDirectory,
    ::testing::Combine(::testing::Values(Place::RuntimeDir, Place::Home),
                       ::testing::Values(UnsafeDirectory{"Symlink", UnsafeDirectory::Symlink, 0},
                                         UnsafeDirectory{"OtherOwner", UnsafeDirectory::OtherOwner, 0},
                                         UnsafeDirectory{"OpenToGroup", UnsafeDirectory::Mode, 0750},
                                         UnsafeDirectory{"OpenToOthers", UnsafeDirectory::Mode, 0701},
                                         UnsafeDirectory{"ReadOnly", UnsafeDirectory::Mode, 0500},
                                         UnsafeDirectory{"SetGroupId", UnsafeDirectory::Mode, 02700},
                                         UnsafeDirectory{"NotADirectory", UnsafeDirectory::File, 0})),
    [](const ::testing::TestParamInfo<std::tuple<Place, UnsafeDirectory>>& info) {
        return placeName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).label;
    });

// XDG_RUNTIME_DIR values the layer does not use; it falls back to <home>/.win32layer.
enum class Runtime { Unset, Relative, OpenToOthers, Symlink, OtherOwner };

std::string runtimeLabel(const ::testing::TestParamInfo<Runtime>& info)
{
    static const char* const labels[] = {"Unset", "Relative", "OpenToOthers", "Symlink", "OtherOwner"};
    return labels[static_cast<int>(info.param)];
}

class SecurityHomeFallback : public Security, public ::testing::WithParamInterface<Runtime> {};

TEST_P(SecurityHomeFallback, IsCreatedPrivateAndUsed)
{
    switch (GetParam()) {
    case Runtime::Unset:
        ::unsetenv("XDG_RUNTIME_DIR");  // runtime_ puts it back
        break;
    case Runtime::Relative:  // leads to runtime_, which would do if it were absolute
        ::setenv("XDG_RUNTIME_DIR", relativePathTo(runtime_.path()).c_str(), 1);
        break;
    case Runtime::OpenToOthers:
        ASSERT_EQ(::chmod(runtime_.path().c_str(), 0755), 0);
        break;
    case Runtime::Symlink: {
        const std::string link = home_.path() + "/run";
        ASSERT_EQ(::symlink(runtime_.path().c_str(), link.c_str()), 0);
        ::setenv("XDG_RUNTIME_DIR", link.c_str(), 1);  // runtime_ puts it back
        break;
    }
    case Runtime::OtherOwner:
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to give a directory away";
        ASSERT_EQ(::chown(runtime_.path().c_str(), 65534, 65534), 0);
        break;
    }
    expectPipeWorksIn(home_.socketDirectory());
    EXPECT_TRUE(listDirectory(runtime_.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Security, SecurityHomeFallback,
                         ::testing::Values(Runtime::Unset, Runtime::Relative, Runtime::OpenToOthers,
                                           Runtime::Symlink, Runtime::OtherOwner),
                         runtimeLabel);

// Homes the fallback may use: ours and not writable by anyone else, reached through a symbolic
// link or not.
enum class GoodHome { Private, ReadableByAll, Symlink };

std::string goodHomeLabel(const ::testing::TestParamInfo<GoodHome>& info)
{
    static const char* const labels[] = {"Private", "ReadableByAll", "Symlink"};
    return labels[static_cast<int>(info.param)];
}

class SecurityGoodHome : public Security, public ::testing::WithParamInterface<GoodHome> {};

TEST_P(SecurityGoodHome, IsUsed)
{
    ::unsetenv("XDG_RUNTIME_DIR");  // runtime_ puts it back
    std::string home = home_.path();
    switch (GetParam()) {
    case GoodHome::Private: break;
    case GoodHome::ReadableByAll: ASSERT_EQ(::chmod(home.c_str(), 0755), 0); break;
    case GoodHome::Symlink: {
        home = home_.path() + "/real";
        const std::string link = home_.path() + "/link";
        ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
        ASSERT_EQ(::symlink(home.c_str(), link.c_str()), 0);
        ::setenv("HOME", link.c_str(), 1);  // home_ puts it back
        break;
    }
    }
    expectPipeWorksIn(home + "/.win32layer");
}

INSTANTIATE_TEST_SUITE_P(Security, SecurityGoodHome,
                         ::testing::Values(GoodHome::Private, GoodHome::ReadableByAll, GoodHome::Symlink),
                         goodHomeLabel);

// Homes the fallback refuses: a directory in them could be made or swapped by someone else, or they
// are not there at all.
struct BadHome {
    const char* label;
    enum Kind { Mode, OtherOwner, NotADirectory, Missing } kind;
    mode_t mode;  // for Mode
    DWORD expectedError;
};

class SecurityBadHome : public Security, public ::testing::WithParamInterface<BadHome> {};

TEST_P(SecurityBadHome, IsRefusedByEveryCall)
{
    ::unsetenv("XDG_RUNTIME_DIR");  // runtime_ puts it back
    const BadHome& bad = GetParam();
    std::string home = home_.path();
    switch (bad.kind) {
    case BadHome::Mode: ASSERT_EQ(::chmod(home.c_str(), bad.mode), 0); break;
    case BadHome::OtherOwner:
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to give a directory away";
        ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
        break;
    case BadHome::NotADirectory: {
        home = home_.path() + "/file";
        const int fd = ::open(home.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0700);
        ASSERT_GE(fd, 0);
        ::close(fd);
        break;
    }
    case BadHome::Missing: home = home_.path() + "/missing"; break;
    }
    ::setenv("HOME", home.c_str(), 1);  // home_ puts it back
    expectEveryCallFails(uniqueName("badhome"), bad.expectedError);
    struct stat info;
    EXPECT_NE(::lstat((home + "/.win32layer").c_str(), &info), 0);  // nothing was created
}

INSTANTIATE_TEST_SUITE_P(
    Security, SecurityBadHome,
    ::testing::Values(BadHome{"WritableByGroup", BadHome::Mode, 0770, ERROR_ACCESS_DENIED},
                      BadHome{"WritableByOthers", BadHome::Mode, 0702, ERROR_ACCESS_DENIED},
                      BadHome{"WritableByAll", BadHome::Mode, 0777, ERROR_ACCESS_DENIED},
                      BadHome{"OtherOwner", BadHome::OtherOwner, 0, ERROR_ACCESS_DENIED},
                      BadHome{"NotADirectory", BadHome::NotADirectory, 0, ERROR_ACCESS_DENIED},
                      BadHome{"Missing", BadHome::Missing, 0, ERROR_PATH_NOT_FOUND}),
    [](const ::testing::TestParamInfo<BadHome>& info) { return std::string(info.param.label); });

// The longest XDG_RUNTIME_DIR or HOME whose socket paths fit sockaddr_un::sun_path, and one character
// more: a runtime directory that is too long is passed over for the home, a home that is too long
// is an error (there is nowhere private left to go).
struct PathLength {
    const char* label;
    Place place;
    size_t overTheLimit;
};

class SecurityPathLength : public Security, public ::testing::WithParamInterface<PathLength> {};

TEST_P(SecurityPathLength, DecidesWhereSocketsGo)
{
    const PathLength& p = GetParam();
    const std::string subdirectory = p.place == Place::RuntimeDir ? "/win32layer" : "/.win32layer";
    const std::string parent = p.place == Place::RuntimeDir ? runtime_.path() : home_.path();
    const std::string directory =
        directoryOfLength(parent, kLongestSocketDirectory - subdirectory.size() + p.overTheLimit);
    if (p.place == Place::RuntimeDir) {
        ::setenv("XDG_RUNTIME_DIR", directory.c_str(), 1);  // runtime_ puts it back
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
        ::setenv("HOME", directory.c_str(), 1);  // home_ puts it back
    }
    if (p.overTheLimit == 0) {
        expectPipeWorksIn(directory + subdirectory);
    } else if (p.place == Place::RuntimeDir) {
        expectPipeWorksIn(home_.socketDirectory());
        EXPECT_TRUE(listDirectory(directory).empty());
    } else {
        expectEveryCallFails(uniqueName("long"), ERROR_FILENAME_EXCED_RANGE);
        EXPECT_TRUE(listDirectory(directory).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Security, SecurityPathLength,
    ::testing::Values(PathLength{"RuntimeDirAtTheLimit", Place::RuntimeDir, 0},
                      PathLength{"RuntimeDirTooLong", Place::RuntimeDir, 1},
                      PathLength{"HomeAtTheLimit", Place::Home, 0}, PathLength{"HomeTooLong", Place::Home, 1}),
    [](const ::testing::TestParamInfo<PathLength>& info) { return std::string(info.param.label); });

// Without an absolute HOME the home is the password database's, here the real one: the layer
// creates its directory there as it would for any program of this user.
enum class NoHome { Unset, Relative };

class SecurityPasswordHome : public Security, public ::testing::WithParamInterface<NoHome> {};

TEST_P(SecurityPasswordHome, IsUsed)
{
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[16384];
    ASSERT_EQ(::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found), 0);
    if (found == nullptr)
        GTEST_SKIP() << "no password entry for this user";
    struct stat info;
    if (found->pw_dir[0] != '/' || ::stat(found->pw_dir, &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid() || (info.st_mode & 022) != 0)
        GTEST_SKIP() << "this user's own home is not one the layer would use: " << found->pw_dir;
    const std::string expected = std::string(found->pw_dir) + "/.win32layer/";

    ::unsetenv("XDG_RUNTIME_DIR");  // runtime_ puts it back
    if (GetParam() == NoHome::Unset)
        ::unsetenv("HOME");  // home_ puts it back
    else  // leads to home_, which would do if it were absolute
        ::setenv("HOME", relativePathTo(home_.path()).c_str(), 1);
    const std::wstring name = uniqueName("pwhome");
    HANDLE server = createServer(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    const std::string socketPath = socketPathOf(name);
    EXPECT_EQ(socketPath.rfind(expected, 0), 0u) << socketPath;
    EXPECT_EQ(::lstat(socketPath.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_TRUE(listDirectory(home_.path()).empty());
    CloseHandle(server);
}

INSTANTIATE_TEST_SUITE_P(Security, SecurityPasswordHome, ::testing::Values(NoHome::Unset, NoHome::Relative),
                         [](const ::testing::TestParamInfo<NoHome>& info) {
                             return std::string(info.param == NoHome::Unset ? "Unset" : "Relative");
                         });

TEST_F(Security, NothingIsLeftInTheFileSystemAfterTheLastHandleCloses)
{
    const std::wstring name = uniqueName("tidy");
    HANDLE server = createServer(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE client = openClient(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(listDirectory(runtime_.socketDirectory()).size(), 2u);  // socket and lock file
    CloseHandle(client);
    ASSERT_TRUE(DisconnectNamedPipe(server));
    CloseHandle(server);
    EXPECT_TRUE(listDirectory(runtime_.socketDirectory()).empty());
}

TEST_F(Security, StaleFilesOfADeadInstanceAreReplaced)
{
    const std::wstring name = uniqueName("stale");
    // What a crashed owner leaves: an unlocked lock file and a socket nobody listens on.
    HANDLE first = createServer(name);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    const std::string socketPath = socketPathOf(name);
    const std::string lockPath = lockPathOf(name);
    CloseHandle(first);
    const int lock = ::open(lockPath.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::write(lock, "garbage!", 8), 8);
    ::close(lock);
    const int dead = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(dead, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(dead);

    SetLastError(0);
    EXPECT_EQ(openClient(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(WaitNamedPipeW(name.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE server = createServer(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE client = openClient(name);
    EXPECT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(client);
    CloseHandle(server);
}

TEST_F(Security, LockFileThatIsASymlinkIsNotFollowed)
{
    const std::wstring name = uniqueName("lure");
    HANDLE probe = createServer(name);  // creates the directory
    ASSERT_NE(probe, INVALID_HANDLE_VALUE);
    const std::string lockPath = lockPathOf(name);
    CloseHandle(probe);
    const std::string target = runtime_.path() + "/target";
    ASSERT_EQ(::symlink(target.c_str(), lockPath.c_str()), 0);
    SetLastError(0);
    EXPECT_EQ(createServer(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
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
    HANDLE server = createServer(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    const std::string socketPath = socketPathOf(name);
    ASSERT_EQ(::chmod(runtime_.path().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(runtime_.socketDirectory().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(socketPath.c_str(), 0777), 0);

    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
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
        const ssize_t got = ::read(fd, &answer, 1);
        ::_exit(got <= 0 ? 0 : 1);  // 0: dropped without an answer
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    ASSERT_EQ(::chmod(runtime_.socketDirectory().c_str(), 0700), 0);
    ASSERT_EQ(::chmod(runtime_.path().c_str(), 0700), 0);
    HANDLE client = openClient(name);
    EXPECT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    OVERLAPPED connect = {};
    EXPECT_FALSE(ConnectNamedPipe(server, &connect));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));
    CloseHandle(client);
    CloseHandle(server);
}

}  // namespace
