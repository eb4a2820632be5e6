#pragma once

// The few operating-system services the installer needs beyond Qt. Kept free of Qt so that the
// Windows half builds and runs its tests with a plain Win32 toolchain.

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

// Makes a downloaded file startable. Windows starts any file it can read; elsewhere the file
// needs execute permission, which a download never carries.
void allowExecution(const std::string &path);

} // namespace nativeapi
