#include "LayerSupport.h"

#include "PipeName.h"
#include "SocketDirectory.h"
#include "WireFormat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace w32layertest {

ScopedVariable::ScopedVariable(const char* name, const char* value) : name_(name)
{
    if (const char* previous = std::getenv(name)) {
        previous_ = previous;
        hadPrevious_ = true;
    }
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

ScopedVariable::~ScopedVariable()
{
    if (hadPrevious_)
        ::setenv(name_.c_str(), previous_.c_str(), 1);
    else
        ::unsetenv(name_.c_str());
}

namespace {
std::string makeTempDir(const char* tag)
{
    std::string pattern = std::string("/tmp/w32layer-") + tag + "-XXXXXX";
    const char* made = ::mkdtemp(&pattern[0]);  // mode 0700
    EXPECT_NE(made, nullptr) << std::strerror(errno);
    return made != nullptr ? made : "";
}
}  // namespace

TempDirVariable::TempDirVariable(const char* variable, const char* tag)
    : path_(makeTempDir(tag)), variable_(variable, path_.c_str())
{
}

TempDirVariable::~TempDirVariable() { removeTree(path_); }

std::wstring uniqueName(const char* tag)
{
    static std::atomic<unsigned> counter{0};
    const std::string name =
        "\\\\.\\pipe\\w32layer-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + tag;
    return std::wstring(name.begin(), name.end());
}

namespace {
std::string pathOf(const std::wstring& pipeName, bool socket)
{
    win32layer::PipeName name;
    EXPECT_EQ(win32layer::PipeName::parse(pipeName.c_str(), &name), static_cast<DWORD>(ERROR_SUCCESS));
    std::string directory;
    EXPECT_EQ(win32layer::SocketDirectory::resolve(false, &directory), static_cast<DWORD>(ERROR_SUCCESS));
    return socket ? win32layer::SocketDirectory::socketPath(directory, name)
                  : win32layer::SocketDirectory::lockPath(directory, name);
}
}  // namespace

std::string socketPathOf(const std::wstring& pipeName) { return pathOf(pipeName, true); }
std::string lockPathOf(const std::wstring& pipeName) { return pathOf(pipeName, false); }

std::vector<std::string> listDirectory(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* directory = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(directory)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(directory);
    }
    return names;
}

void removeTree(const std::string& path)
{
    if (path.empty())
        return;
    ::nftw(
        path.c_str(), [](const char* file, const struct stat*, int, struct FTW*) { return ::remove(file); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

RawClient::RawClient(const std::wstring& pipeName)
{
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const std::string path = socketPathOf(pipeName);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return;
    uint8_t answer[win32layer::WireFormat::kHandshakeBytes] = {};
    struct iovec iov = {answer, sizeof answer};
    struct msghdr message = {};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(fd_, &message, MSG_WAITALL | MSG_CMSG_CLOEXEC) != sizeof answer)
        return;
    if (struct cmsghdr* passed = CMSG_FIRSTHDR(&message))
        std::memcpy(&control_, CMSG_DATA(passed), sizeof(int));
    connected_ = answer[0] == win32layer::WireFormat::kAnswerConnected;
}

RawClient::~RawClient() { close(); }

void RawClient::send(const std::string& bytes)
{
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

void RawClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (control_ >= 0)
        ::close(control_);
    fd_ = control_ = -1;
}

std::string header(uint32_t length)
{
    uint8_t bytes[win32layer::WireFormat::kHeaderBytes];
    win32layer::WireFormat::encodeHeader(length, bytes);
    return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

}  // namespace w32layertest
