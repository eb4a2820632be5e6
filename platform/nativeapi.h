#pragma once

// The few operating-system services the installer needs beyond Qt. Kept free of Qt so that the
// Windows half builds and runs its tests with a plain Win32 toolchain.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace nativeapi {

#ifdef _WIN32
using MutexHandle = void *; // a HANDLE
using FileHandle = void *;  // a HANDLE
constexpr FileHandle noFile = nullptr;
#else
using MutexHandle = int; // a descriptor holding a shared flock, or -1
using FileHandle = int;  // a descriptor
constexpr FileHandle noFile = -1;
#endif

// The program's command line as the user typed it, UTF-8 encoded, the program first. On Windows
// it is read again from the wide command line: the argv that main() receives has been through
// the ANSI code page, which can't hold every character of a URL.
std::vector<std::string> commandLineArguments(int argc, char *argv[]);

// Creates (or opens) the system-wide named mutex by which other processes tell that an update
// is under way. It never waits, and failure is not reported: the update goes on without the
// marker.
MutexHandle createNamedMutex(const char *name);
void closeNamedMutex(MutexHandle handle);

// Full path of the running executable, UTF-8 encoded.
std::string moduleFilePath();

// Opens a file named by a UTF-8 path with fopen's modes. The narrow C functions on Windows read
// paths in the ANSI code page, which can't name every folder a user may have.
std::FILE *openFile(const char *path, const char *mode);

// Makes a downloaded file startable. Windows starts any file it can read; elsewhere the file
// needs execute permission, which a download never carries.
void allowExecution(const std::string &path);

enum class LockResult { Locked, Busy, Failed };

// Takes the lock that every instance of the installer takes on an existing file before it
// writes it, without waiting: Busy while another holds it. The lock lives in `handle` until
// closeFile(); it keeps no one from reading, running or removing the file, and no other
// process inherits it. `error` says why a lock Failed.
LockResult lockFile(const std::string &path, FileHandle &handle, std::string &error);
void closeFile(FileHandle handle);

struct InstallerCheck
{
    enum Verdict { Accepted, NotSigned, NotValid, OtherSigner };
    Verdict verdict = Accepted;
    // The common names of the two signers, for OtherSigner.
    std::string installerSigner;
    std::string programSigner;
};

// Whether an installer may be started: when the running program carries a valid Authenticode
// signature, the installer must carry one too, from a signer of the very same subject. The file
// is held in `hold` from before the check, against writes and removal, so that what is started
// is what was checked; closeFile() lets it go once it has started. An unsigned program (a
// development build) accepts any installer. Only Windows checks; elsewhere every installer is
// accepted and nothing is held.
InstallerCheck checkInstaller(const std::string &path, FileHandle &hold);

// Whether the process just started with this id still runs and so holds its program file, which
// Windows keeps from removal for as long as a program runs. Elsewhere a running program never
// keeps its file.
bool holdsOwnFile(std::int64_t processId);

} // namespace nativeapi
