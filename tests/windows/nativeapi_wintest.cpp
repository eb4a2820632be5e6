// Runs the Windows half of the platform layer against a real Win32 implementation. One program
// plays every process a scenario needs: without arguments it drives the scenarios, and it starts
// copies of itself with a role argument whose exit code reports what that process saw.

#include "platform/nativeapi.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

const char *const updaterMutexName = "Global\\fernhollow_larkspur_updater_mutex";
const DWORD waitLimit = 30000;
const DWORD roleFailed = 1;

int passedCount = 0;
int failedCount = 0;

void check(bool passed, const char *name, const std::string &detail)
{
    ++(passed ? passedCount : failedCount);
    std::printf("%s %s%s\n", passed ? "PASS" : "FAIL", name, passed ? "" : detail.c_str());
    std::fflush(stdout);
}

std::string toUtf8(const std::wstring &text)
{
    std::string bytes(text.size() * 4, '\0');
    bytes.resize(static_cast<size_t>(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                            static_cast<int>(bytes.size()), nullptr, nullptr)));
    return bytes;
}

std::wstring ownExecutable()
{
    wchar_t path[MAX_PATH * 4];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH * 4));
}

// Starts a copy of a program in a role and gives its exit code, stopping it when it overruns.
// Its output goes to ours, which need not be a console.
DWORD runRole(const std::wstring &program, const std::wstring &arguments)
{
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process))
        return roleFailed;
    if (WaitForSingleObject(process.hProcess, waitLimit) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, roleFailed);
        WaitForSingleObject(process.hProcess, waitLimit);
    }
    DWORD code = roleFailed;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

void checkRole(const wchar_t *arguments, DWORD expected, const char *name)
{
    const DWORD code = runRole(ownExecutable(), arguments);
    check(code == expected, name, ": exit code " + std::to_string(code));
}

// Asks the way another product would whether an update is under way. The error code tells a
// missing mutex (ERROR_FILE_NOT_FOUND) apart from a lookup that failed for another reason.
DWORD lookUpUpdaterMutex()
{
    const HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, updaterMutexName);
    if (mutex == nullptr)
        return GetLastError();
    CloseHandle(mutex);
    return ERROR_SUCCESS;
}

// Returns with the handle open, for the system to release with the process.
DWORD holdUpdaterMutex()
{
    if (nativeapi::createNamedMutex(updaterMutexName) == nullptr)
        return roleFailed;
    return GetLastError() == ERROR_ALREADY_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
}

DWORD reportModulePath(const std::wstring &expected)
{
    const std::string path = nativeapi::moduleFilePath();
    if (path == toUtf8(expected))
        return ERROR_SUCCESS;
    std::printf("moduleFilePath() gave \"%s\"\n", path.c_str());
    return roleFailed;
}

// This process holds the mutex while others look for it or hold it too, then closes it and
// keeps running, so that a mutex seen as gone was gone by CloseHandle and not by an exit.
void testUpdaterMutex()
{
    const nativeapi::MutexHandle mutex = nativeapi::createNamedMutex(updaterMutexName);
    checkRole(L"look", ERROR_SUCCESS, "another process sees the mutex while it is held");
    checkRole(L"hold", ERROR_ALREADY_EXISTS, "a second holder at the same time shares it");
    checkRole(L"look", ERROR_SUCCESS, "mutex stays after the second holder exited");
    nativeapi::closeNamedMutex(mutex);
    checkRole(L"look", ERROR_FILE_NOT_FOUND, "mutex gone after CloseHandle");
    checkRole(L"hold", ERROR_SUCCESS, "a holder creates the mutex anew and exits without closing");
    checkRole(L"look", ERROR_FILE_NOT_FOUND, "mutex gone after its holder exited");
}

void testModulePathInNonAsciiFolder(const std::wstring &folder)
{
    const std::wstring copy = folder + L"\\Larkspur \u00dcpdater.exe";
    CopyFileW(ownExecutable().c_str(), copy.c_str(), FALSE);
    const DWORD code = runRole(copy, L"module-path \"" + copy + L"\"");
    check(code == ERROR_SUCCESS, "module path names the running copy in a non-ASCII folder",
          ": exit code " + std::to_string(code));
    DeleteFileW(copy.c_str());
}

// The file is made through the wide API, so only openFile's reading of UTF-8 is on trial.
void testOpenFileWithNonAsciiPath(const std::wstring &folder)
{
    // Outside the Basic Multilingual Plane too: the musical note needs a surrogate pair.
    const std::wstring name = folder + L"\\Update \u00fc\u00df \u66f4\u65b0 \U0001F3B5.zip";
    const std::string content = "PK\3\4 not quite an archive";
    if (std::FILE *output = _wfopen(name.c_str(), L"wb")) {
        std::fputs(content.c_str(), output);
        std::fclose(output);
    }

    char readBack[64] = {};
    if (std::FILE *input = nativeapi::openFile(toUtf8(name).c_str(), "rb")) {
        std::fread(readBack, 1, sizeof(readBack) - 1, input);
        std::fclose(input);
    }
    check(content == readBack, "openFile reads a non-ASCII UTF-8 path",
          ": read \"" + std::string(readBack) + "\"");
    DeleteFileW(name.c_str());
}

int runScenarios()
{
    wchar_t temporary[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
    const std::wstring folder = std::wstring(temporary, length) + L"larkspur_wintest_" +
                                std::to_wstring(GetCurrentProcessId()) +
                                L" \u00c9t\u00e9 \u66f4\u65b0 \u0444\u0430\u0439\u043b";
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
        std::printf("cannot create the test folder (error %lu)\n", GetLastError());
        return 1;
    }

    testUpdaterMutex();
    testModulePathInNonAsciiFolder(folder);
    testOpenFileWithNonAsciiPath(folder);

    RemoveDirectoryW(folder.c_str());
    std::printf("%d passed, %d failed\n", passedCount, failedCount);
    return failedCount == 0 ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const std::wstring role = argc >= 2 ? argv[1] : L"";
    if (role == L"look")
        return static_cast<int>(lookUpUpdaterMutex());
    if (role == L"hold")
        return static_cast<int>(holdUpdaterMutex());
    if (role == L"module-path" && argc == 3)
        return static_cast<int>(reportModulePath(argv[2]));
    return runScenarios();
}
