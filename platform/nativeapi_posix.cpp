#include "platform/nativeapi.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
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

void restrictLibrarySearch() {}

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

bool startDetached(const std::string &program, const std::vector<std::string> &arguments,
                   std::int64_t &processId, std::string &error)
{
    std::vector<char *> argv = {const_cast<char *>(program.c_str())};
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    // Descriptors the product handed this program (a pipe it reads to the end, a lock) stay
    // with this program, inherited or not.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // A session of its own, so that nothing aimed at this program's terminal or process group
    // reaches the installer.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = 0;
    const int result =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        error = std::strerror(result);
        return false;
    }
    processId = pid;
    return true;
}

bool replaceFile(const std::string &from, const std::string &to, std::string &error)
{
    if (::rename(from.c_str(), to.c_str()) == 0)
        return true;
    error = std::strerror(errno);
    return false;
}

bool flushFile(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    // The data and the length it needs, not the times of the file.
    const bool flushed = fd >= 0 && ::fdatasync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    return flushed;
}

RemoveResult removePlainFile(const std::string &path)
{
    // unlink() of a symbolic link removes only the link, but a link is not ours to remove.
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return RemoveResult::NotPlainFile;
    return ::unlink(path.c_str()) == 0 ? RemoveResult::Removed : RemoveResult::Failed;
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
