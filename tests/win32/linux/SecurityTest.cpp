// Where sockets live and who may reach them: the per-user directory and what is refused about it,
// files left behind, and the peer-credential check on accepted connections.

#include "LayerSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
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

class Security : public ::testing::Test {
protected:
    TempRuntimeDir runtime_;
};

TEST_F(Security, SocketDirectoryIsCreatedPrivate)
{
    HANDLE server = createServer(uniqueName("private"));
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    struct stat info;
    ASSERT_EQ(::lstat(runtime_.socketDirectory().c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    CloseHandle(server);
}

// Directories the layer must refuse rather than use or repair.
enum class Unsafe { Symlink, OpenToGroup, OpenToOthers, OtherOwner };

class SecurityUnsafeDirectory : public Security, public ::testing::WithParamInterface<Unsafe> {};

TEST_P(SecurityUnsafeDirectory, IsRefusedByEveryCall)
{
    const std::string directory = runtime_.socketDirectory();
    const std::string elsewhere = runtime_.path() + "/elsewhere";
    switch (GetParam()) {
    case Unsafe::Symlink:
        ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
        ASSERT_EQ(::symlink(elsewhere.c_str(), directory.c_str()), 0);
        break;
    case Unsafe::OpenToGroup:
    case Unsafe::OpenToOthers:
        ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(directory.c_str(), GetParam() == Unsafe::OpenToGroup ? 0750 : 0701), 0);
        break;
    case Unsafe::OtherOwner:
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to give a directory away";
        ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
        ASSERT_EQ(::chown(directory.c_str(), 65534, 65534), 0);
        break;
    }
    const std::wstring name = uniqueName("unsafe");
    SetLastError(0);
    EXPECT_EQ(createServer(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetLastError(0);
    EXPECT_EQ(openClient(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetLastError(0);
    EXPECT_FALSE(WaitNamedPipeW(name.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(listDirectory(elsewhere).empty());  // nothing was created through the link
}

INSTANTIATE_TEST_SUITE_P(Security, SecurityUnsafeDirectory,
                         ::testing::Values(Unsafe::Symlink, Unsafe::OpenToGroup, Unsafe::OpenToOthers,
                                           Unsafe::OtherOwner));

TEST_F(Security, UnsafeRuntimeDirectoryFallsBackToTmp)
{
    ASSERT_EQ(::chmod(runtime_.path().c_str(), 0755), 0);
    const std::wstring name = uniqueName("fallback");
    HANDLE server = createServer(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(socketPathOf(name).rfind("/tmp/win32layer-" + std::to_string(::geteuid()) + "/", 0), 0u);
    EXPECT_TRUE(listDirectory(runtime_.path()).empty());
    CloseHandle(server);
    ASSERT_EQ(::chmod(runtime_.path().c_str(), 0700), 0);
}

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
