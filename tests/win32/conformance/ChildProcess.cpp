#include "ChildProcess.h"

#include "win32layer/Win32Api.h"

#if !defined(_WIN32)
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace w32test {

namespace {
std::string g_selfPath;
}

void setSelfPath(const char* argv0) { g_selfPath = argv0; }

#if defined(_WIN32)

unsigned long currentProcessId() { return GetCurrentProcessId(); }

struct ChildProcess::Native {
    PROCESS_INFORMATION info = {};
};

std::unique_ptr<ChildProcess> ChildProcess::spawnSelf(const std::vector<std::string>& args)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(path) + L"\" --child";
    for (const std::string& arg : args)
        commandLine += L" \"" + std::wstring(arg.begin(), arg.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::unique_ptr<ChildProcess> child(new ChildProcess());
    child->native_ = std::make_unique<Native>();
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &child->native_->info))
        return nullptr;
    CloseHandle(child->native_->info.hThread);
    return child;
}

void ChildProcess::kill() { TerminateProcess(native_->info.hProcess, 9); }

int ChildProcess::wait()
{
    if (!reaped_) {
        WaitForSingleObject(native_->info.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(native_->info.hProcess, &code);
        exitCode_ = static_cast<int>(code);
        reaped_ = true;
    }
    return exitCode_;
}

#else

unsigned long currentProcessId() { return static_cast<unsigned long>(::getpid()); }

struct ChildProcess::Native {
    pid_t pid = -1;
};

std::unique_ptr<ChildProcess> ChildProcess::spawnSelf(const std::vector<std::string>& args)
{
    // Everything exec needs is built before fork: the child of a threaded process may only make
    // async-signal-safe calls.
    std::vector<std::string> storage{g_selfPath, "--child"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0)
        return nullptr;
    if (pid == 0) {
        ::execv("/proc/self/exe", argv.data());
        ::_exit(127);
    }
    std::unique_ptr<ChildProcess> child(new ChildProcess());
    child->native_ = std::make_unique<Native>();
    child->native_->pid = pid;
    return child;
}

void ChildProcess::kill()
{
    if (!reaped_)
        ::kill(native_->pid, SIGKILL);
}

int ChildProcess::wait()
{
    if (!reaped_) {
        int status = 0;
        while (::waitpid(native_->pid, &status, 0) < 0 && errno == EINTR) {
        }
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        reaped_ = true;
    }
    return exitCode_;
}

#endif

ChildProcess::~ChildProcess()
{
    if (!reaped_) {
        kill();
        wait();
    }
#if defined(_WIN32)
    CloseHandle(native_->info.hProcess);
#endif
}

}  // namespace w32test
