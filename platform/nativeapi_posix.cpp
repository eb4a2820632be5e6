#include "platform/nativeapi.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace nativeapi {

namespace {

// The Windows name lives in the kernel's global namespace; here it becomes a file in /tmp that
// every instance holds a shared flock on. A product tests for a running update by asking for an
// exclusive lock without waiting.
std::string lockFilePath(const char *name)
{
    std::string path(name);
    const auto separator = path.rfind('\\');
    if (separator != std::string::npos)
        path.erase(0, separator + 1);
    return "/tmp/" + path;
}

int openLockFile(const std::string &path)
{
    // The file is only ever opened read-only, so a file some other user created first works
    // as well as our own; O_CREAT on another user's file in sticky /tmp is refused by
    // protected_regular, hence the plain open first. Anyone may create the path first, as
    // anything: O_NONBLOCK keeps a FIFO there from stopping the open until a writer comes.
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::open(path.c_str(), flags);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            // The umask may have taken the read bits other users need to probe the lock.
            ::fchmod(fd, 0644);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

bool isRegularFile(int fd)
{
    struct stat status;
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

} // namespace

std::vector<std::string> commandLineArguments(int argc, char *argv[])
{
    return std::vector<std::string>(argv, argv + argc);
}

MutexHandle createNamedMutex(const char *name)
{
    const int fd = openLockFile(lockFilePath(name));
    if (fd < 0)
        return -1;
    // Never waits: whoever holds an exclusive lock (a product waiting for the update, any local
    // user) would otherwise stop the program before its window shows.
    if (!isRegularFile(fd) || ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void closeNamedMutex(MutexHandle handle)
{
    if (handle >= 0)
        ::close(handle);
}

std::string moduleFilePath()
{
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (static_cast<size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
}

std::FILE *openFile(const char *path, const char *mode)
{
    return std::fopen(path, mode);
}

void allowExecution(const std::string &path)
{
    struct stat status;
    if (::stat(path.c_str(), &status) != 0)
        return;
    mode_t mode = status.st_mode | S_IXUSR;
    if (mode & S_IRGRP)
        mode |= S_IXGRP;
    if (mode & S_IROTH)
        mode |= S_IXOTH;
    ::chmod(path.c_str(), mode & 07777);
}

LockResult lockFile(const std::string &path, FileHandle &handle, std::string &error)
{
    // A lock of its own open file description, so that closing the writer keeps it; flock
    // needs no write access.
    handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (handle < 0) {
        error = std::strerror(errno);
        return LockResult::Failed;
    }
    if (::flock(handle, LOCK_EX | LOCK_NB) == 0)
        return LockResult::Locked;
    const int lockError = errno;
    ::close(handle);
    handle = noFile;
    if (lockError == EWOULDBLOCK)
        return LockResult::Busy;
    error = std::strerror(lockError);
    return LockResult::Failed;
}

void closeFile(FileHandle handle)
{
    if (handle >= 0)
        ::close(handle);
}

InstallerCheck checkInstaller(const std::string &, FileHandle &hold)
{
    hold = noFile;
    return {};
}

bool holdsOwnFile(std::int64_t)
{
    return false;
}

} // namespace nativeapi
