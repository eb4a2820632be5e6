#include "platform/nativeapi.h"

#include <windows.h>

#include <vector>

namespace nativeapi {

MutexHandle createNamedMutex(const char *name)
{
    // Neither a null handle nor ERROR_ALREADY_EXISTS matters: a second instance shares the
    // mutex and carries on.
    return CreateMutexA(nullptr, FALSE, name);
}

void closeNamedMutex(MutexHandle handle)
{
    CloseHandle(handle);
}

std::string moduleFilePath()
{
    std::vector<wchar_t> buffer(32000, L'\0');
    GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, buffer.data(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string path(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, buffer.data(), -1, path.data(), size, nullptr, nullptr);
    path.resize(static_cast<size_t>(size) - 1);
    return path;
}

namespace {

std::wstring widen(const char *text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), size);
    wide.resize(static_cast<size_t>(size) - 1);
    return wide;
}

} // namespace

std::FILE *openFile(const char *path, const char *mode)
{
    return _wfopen(widen(path).c_str(), widen(mode).c_str());
}

void allowExecution(const std::string &) {}

} // namespace nativeapi
