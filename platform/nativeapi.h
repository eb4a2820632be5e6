#pragma once

// The few operating-system services the installer needs beyond Qt. Kept free of Qt so that the
// Windows half builds and runs its tests with a plain Win32 toolchain.

#include <cstdio>
#include <string>

namespace nativeapi {

#ifdef _WIN32
using MutexHandle = void *; // a HANDLE
#else
using MutexHandle = int; // a descriptor holding a shared flock, or -1
#endif

// Creates (or opens) the system-wide named mutex by which other processes tell that an update
// is under way. Failure is not reported: the update goes on without the marker.
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

} // namespace nativeapi
