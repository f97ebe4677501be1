#include "InstanceLock.h"

#include "Errno.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace win32layer {

namespace {

// The record at the start of the lock file.
constexpr size_t kStateOffset = 0;
constexpr size_t kTimeoutOffset = 1;
constexpr size_t kRecordSize = 5;
constexpr uint8_t kStateBusy = 'B';
constexpr uint8_t kStateListening = 'L';

// A lock file can be replaced between our open and our lock only by an instance closing at that very
// moment; each retry follows such a replacement, so a handful of attempts is plenty.
constexpr int kAcquireAttempts = 8;

struct flock wholeFileWriteLock()
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end of the file, whatever its size
    return lock;
}

}  // namespace

InstanceLock::~InstanceLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

DWORD InstanceLock::acquire(const std::string& lockPath, DWORD defaultTimeoutMs, std::unique_ptr<InstanceLock>* out)
{
    for (int attempt = 0; attempt < kAcquireAttempts; ++attempt) {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            return Errno::toWin32Error(errno);
        struct flock lock = wholeFileWriteLock();
        if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            const int error = errno;
            ::close(fd);
            return (error == EAGAIN || error == EACCES) ? ERROR_PIPE_BUSY : Errno::toWin32Error(error);
        }
        // The lock is only worth something if the file we locked is still the one at lockPath: a
        // closing instance unlinks its lock file before releasing it.
        struct stat locked, current;
        if (::fstat(fd, &locked) == 0 && ::lstat(lockPath.c_str(), &current) == 0 &&
            locked.st_dev == current.st_dev && locked.st_ino == current.st_ino) {
            uint8_t record[kRecordSize];
            record[kStateOffset] = kStateBusy;
            for (size_t i = 0; i < 4; ++i)
                record[kTimeoutOffset + i] = static_cast<uint8_t>(defaultTimeoutMs >> (8 * i));
            if (::pwrite(fd, record, sizeof record, 0) != static_cast<ssize_t>(sizeof record) ||
                ::ftruncate(fd, kRecordSize) != 0) {
                const int error = errno;
                ::unlink(lockPath.c_str());
                ::close(fd);
                return Errno::toWin32Error(error);
            }
            out->reset(new InstanceLock(fd, lockPath));
            return ERROR_SUCCESS;
        }
        ::close(fd);
    }
    return ERROR_PIPE_BUSY;
}

void InstanceLock::publishListening(bool listening)
{
    const uint8_t state = listening ? kStateListening : kStateBusy;
    // Best effort: a failed write only delays a WaitNamedPipeW until its time-out.
    (void)::pwrite(fd_, &state, 1, kStateOffset);
}

void InstanceLock::release(const std::string& socketPath)
{
    if (fd_ < 0)
        return;
    ::unlink(socketPath.c_str());
    ::unlink(path_.c_str());
    ::close(fd_);
    fd_ = -1;
}

InstanceLock::Probe InstanceLock::probe(const std::string& lockPath, DWORD* defaultTimeoutMs)
{
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return Probe::NoInstance;
    struct flock lock = wholeFileWriteLock();
    Probe result = Probe::NoInstance;
    if (::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) {
        uint8_t record[kRecordSize];
        if (::pread(fd, record, sizeof record, 0) == static_cast<ssize_t>(sizeof record)) {
            DWORD timeout = 0;
            for (size_t i = 0; i < 4; ++i)
                timeout |= static_cast<DWORD>(record[kTimeoutOffset + i]) << (8 * i);
            *defaultTimeoutMs = timeout;
            result = record[kStateOffset] == kStateListening ? Probe::Listening : Probe::Busy;
        } else {
            result = Probe::Busy;  // the owner has not written its record yet
        }
    }
    ::close(fd);
    return result;
}

}  // namespace win32layer
