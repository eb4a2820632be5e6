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
// Windows decides by a file's suffix whether it is run, loaded or opened, so a downloaded file
// must name a kind the installer handles.
constexpr bool downloadNeedsKnownSuffix = true;
#else
using MutexHandle = int; // a descriptor holding a shared flock, or -1
using FileHandle = int;  // a descriptor
constexpr FileHandle noFile = -1;
// An installer here is any native executable, whatever its name.
constexpr bool downloadNeedsKnownSuffix = false;
#endif

// Keeps the libraries the program loads once it runs to the system's own folder: never the
// program's folder, where updates are downloaded. Windows only; called first thing in main().
void restrictLibrarySearch();

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

// Starts a program that goes on after this one ends, with the given arguments, this program's
// environment and working folder, its standard input, output and error on the null device, and
// no other handle or descriptor of this program's: a product reading this program's output sees
// it end when this program does. On Windows a program that asks for administrator rights is
// started through the system's elevation prompt. `error` says why a start failed.
bool startDetached(const std::string &program, const std::vector<std::string> &arguments,
                   std::int64_t &processId, std::string &error);

// Gives a finished download its final name, replacing any file of that name. Windows refuses
// while a virus scanner still reads the new file, so it is tried again for up to three seconds.
bool replaceFile(const std::string &from, const std::string &to, std::string &error);

// Brings what was written to a file down to the disk itself, so that a power cut can't take it
// back.
bool flushFile(const std::string &path);

enum class RemoveResult { Removed, NotPlainFile, Failed };

// Removes a file only when it is a plain file: a directory, a symbolic link, a junction or any
// other reparse point is left as it is (NotPlainFile), as is a path that names nothing. Failed:
// a plain file that could not be removed, such as a running program's.
RemoveResult removePlainFile(const std::string &path);

enum class LockResult { Locked, Busy, Failed };

// Takes the lock that every instance of the installer takes on an existing file before it
// writes it, without waiting: Busy while another holds it. The lock lives in `handle` until
// closeFile(); it keeps no one from reading, running or removing the file, and no other
// process inherits it. `error` says why a lock Failed.
LockResult lockFile(const std::string &path, FileHandle &handle, std::string &error);
void closeFile(FileHandle handle);

struct InstallerCheck
{
    enum Verdict { Accepted, NotSigned, NotValid, OtherSigner, OwnSignatureUnreadable };
    Verdict verdict = Accepted;
    // The common names of the two signers, for OtherSigner.
    std::string installerSigner;
    std::string programSigner;
};

// Whether an installer may be started: when the running program carries an Authenticode
// signature at all, the installer must carry a valid one, from a signer of the very same subject
// as the program's own signer. The program's signer is read from its embedded signature whether
// or not that still verifies (an expired certificate, a root this machine lacks, a changed
// byte), so that nothing about the program's own file switches the check off; a signature that
// is there but can't be read refuses every installer. The installer is held in `hold` from
// before the check, against writes and removal, so that what is started is what was checked;
// closeFile() lets it go once it has started. A program without any signature (a development
// build) accepts any installer. Only Windows checks; elsewhere every installer is accepted and
// nothing is held.
InstallerCheck checkInstaller(const std::string &path, FileHandle &hold);

// Whether the process just started with this id still runs and so holds its program file, which
// Windows keeps from removal for as long as a program runs. Elsewhere a running program never
// keeps its file.
bool holdsOwnFile(std::int64_t processId);

} // namespace nativeapi
