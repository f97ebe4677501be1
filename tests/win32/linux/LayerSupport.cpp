#include "LayerSupport.h"

#include "PipeName.h"
#include "SocketDirectory.h"
#include "WireFormat.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <unistd.h>

namespace w32layertest {

TempDirVariable::TempDirVariable(const char* variable)
    : variable_(variable), hadPrevious_(std::getenv(variable) != nullptr),
      previous_(hadPrevious_ ? std::getenv(variable) : "")
{
    std::string pattern = "/tmp/w32layer-XXXXXX";
    const bool made = ::mkdtemp(&pattern[0]) != nullptr;  // mode 0700
    EXPECT_TRUE(made) << std::strerror(errno);
    path_ = made ? pattern : "";
    ::setenv(variable, path_.c_str(), 1);
}

TempDirVariable::~TempDirVariable()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    if (hadPrevious_)
        ::setenv(variable_, previous_.c_str(), 1);
    else
        ::unsetenv(variable_);
}

HANDLE createServer(const std::wstring& name, DWORD openMode, DWORD maxInstances, DWORD pipeMode)
{
    return CreateNamedPipeW(name.c_str(), openMode, pipeMode, maxInstances, 4096, 4096, 0, nullptr);
}

HANDLE openClient(const std::wstring& name, DWORD access)
{
    return CreateFileW(name.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

DWORD errorOf(bool succeeded) { return succeeded ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError(); }

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

sockaddr_un unixAddress(const std::string& path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

std::string header(uint32_t length)
{
    uint8_t bytes[win32layer::WireFormat::kHeaderBytes];
    win32layer::WireFormat::encodeHeader(length, bytes);
    return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

}  // namespace w32layertest
