// Runs the Windows half of the platform layer against a real Win32 implementation. One program
// plays every process a scenario needs: without arguments it drives the scenarios and starts
// copies of itself with a role argument, as holders of the updater mutex or as a program whose
// own path is asked for.

#include "platform/nativeapi.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char *const updaterMutexName = "Global\\fernhollow_larkspur_updater_mutex";
const DWORD waitLimit = 30000;

// Exit codes of a holder, read by the driver.
const DWORD holderCreatedMutex = 0;
const DWORD holderOpenedExistingMutex = 3;
const DWORD roleFailed = 1;
const DWORD holderGotNoHandle = 2;

int passedCount = 0;
int failedCount = 0;

void check(bool passed, const char *name, const std::string &detail = {})
{
    if (passed)
        ++passedCount;
    else
        ++failedCount;
    if (passed || detail.empty())
        std::printf("%s %s\n", passed ? "PASS" : "FAIL", name);
    else
        std::printf("FAIL %s: %s\n", name, detail.c_str());
    std::fflush(stdout);
}

std::string toUtf8(const std::wstring &text)
{
    std::string bytes(text.size() * 4 + 1, '\0');
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(),
                                         static_cast<int>(bytes.size()), nullptr, nullptr);
    bytes.resize(size > 0 ? static_cast<size_t>(size) - 1 : 0);
    return bytes;
}

std::wstring ownExecutable()
{
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return std::wstring(path, length);
}

HANDLE namedEvent(const std::wstring &tag, const wchar_t *purpose)
{
    return CreateEventW(nullptr, TRUE, FALSE,
                        (L"Local\\larkspur_wintest_" + tag + purpose).c_str());
}

// Asks the way another product would whether an update is under way. The error code tells a
// missing mutex apart from a lookup that failed for another reason.
DWORD lookUpUpdaterMutex()
{
    const HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, updaterMutexName);
    if (mutex == nullptr)
        return GetLastError();
    CloseHandle(mutex);
    return ERROR_SUCCESS;
}

void checkMutexPresent(const char *name)
{
    const DWORD result = lookUpUpdaterMutex();
    check(result == ERROR_SUCCESS, name, "OpenMutexA error " + std::to_string(result));
}

void checkMutexAbsent(const char *name)
{
    const DWORD result = lookUpUpdaterMutex();
    check(result == ERROR_FILE_NOT_FOUND, name,
          result == ERROR_SUCCESS ? "the mutex still exists"
                                  : "OpenMutexA error " + std::to_string(result));
}

// Starts a copy of this program in a role. Its output goes to ours, which need not be a console.
HANDLE startRole(const std::wstring &program, const std::wstring &arguments)
{
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION information = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &information))
        return nullptr;
    CloseHandle(information.hThread);
    return information.hProcess;
}

// Waits for a role to end, stopping it when it overruns, and gives its exit code.
DWORD endRole(HANDLE process)
{
    if (process == nullptr)
        return roleFailed;
    if (WaitForSingleObject(process, waitLimit) != WAIT_OBJECT_0) {
        TerminateProcess(process, roleFailed);
        WaitForSingleObject(process, waitLimit);
    }
    DWORD code = roleFailed;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

// A child process that holds the updater mutex until told to close it or to exit without
// closing it. Named events carry the orders.
class Holder
{
public:
    explicit Holder(int number)
        : tag(std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(number)),
          ready(namedEvent(tag, L"_ready")), closeOrder(namedEvent(tag, L"_close")),
          exitOrder(namedEvent(tag, L"_exit")), closed(namedEvent(tag, L"_closed")),
          process(startRole(ownExecutable(), L"hold " + tag))
    {
    }

    ~Holder()
    {
        exit();
        for (HANDLE event : {ready, closeOrder, exitOrder, closed})
            CloseHandle(event);
    }

    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;

    bool waitUntilHolding() const { return waitFor(ready); }

    bool closeMutex() const
    {
        SetEvent(closeOrder);
        return waitFor(closed);
    }

    DWORD exit()
    {
        SetEvent(exitOrder);
        const DWORD code = endRole(process);
        process = nullptr;
        return code;
    }

private:
    // Also returns when the child ends early, so a failed holder costs no full wait.
    bool waitFor(HANDLE event) const
    {
        const HANDLE handles[] = {event, process};
        return process != nullptr &&
               WaitForMultipleObjects(2, handles, FALSE, waitLimit) == WAIT_OBJECT_0;
    }

    std::wstring tag;
    HANDLE ready;
    HANDLE closeOrder;
    HANDLE exitOrder;
    HANDLE closed;
    HANDLE process;
};

int runHolder(const std::wstring &tag)
{
    const HANDLE ready = namedEvent(tag, L"_ready");
    const HANDLE closeOrder = namedEvent(tag, L"_close");
    const HANDLE exitOrder = namedEvent(tag, L"_exit");
    const HANDLE closed = namedEvent(tag, L"_closed");
    const nativeapi::MutexHandle mutex = nativeapi::createNamedMutex(updaterMutexName);
    const DWORD created =
        GetLastError() == ERROR_ALREADY_EXISTS ? holderOpenedExistingMutex : holderCreatedMutex;
    if (mutex == nullptr)
        return holderGotNoHandle;
    SetEvent(ready);
    const HANDLE orders[] = {closeOrder, exitOrder};
    switch (WaitForMultipleObjects(2, orders, FALSE, waitLimit)) {
    case WAIT_OBJECT_0:
        nativeapi::closeNamedMutex(mutex);
        SetEvent(closed);
        // Stays alive until told to exit, so the driver sees the closed mutex while the
        // process that closed it still runs.
        return WaitForSingleObject(exitOrder, waitLimit) == WAIT_OBJECT_0 ? created : roleFailed;
    case WAIT_OBJECT_0 + 1:
        // Leaves the handle open for the system to release with the process.
        ExitProcess(created);
    default:
        return roleFailed;
    }
}

int reportModulePath(const std::wstring &expected)
{
    const std::string path = nativeapi::moduleFilePath();
    if (path == toUtf8(expected))
        return 0;
    std::printf("moduleFilePath() gave \"%s\", expected \"%s\"\n", path.c_str(),
                toUtf8(expected).c_str());
    return roleFailed;
}

std::string exitDetail(DWORD code)
{
    return "exit code " + std::to_string(code);
}

void testMutexSeenWhileHeldAndGoneAfterClose()
{
    checkMutexAbsent("no updater mutex before any holder");
    Holder holder(1);
    check(holder.waitUntilHolding(), "holder creates the mutex");
    checkMutexPresent("another process sees the mutex while it is held");
    check(holder.closeMutex(), "holder closes the mutex and keeps running");
    checkMutexAbsent("mutex gone after CloseHandle");
    const DWORD code = holder.exit();
    check(code == holderCreatedMutex, "holder ends cleanly", exitDetail(code));
}

void testMutexGoneWhenHolderExitsWithoutClosing()
{
    Holder holder(2);
    check(holder.waitUntilHolding(), "holder that will not close creates the mutex");
    checkMutexPresent("mutex seen before the holder exits");
    const DWORD code = holder.exit();
    check(code == holderCreatedMutex, "holder exits without closing", exitDetail(code));
    checkMutexAbsent("mutex gone after its holder exited without closing");
}

void testTwoHoldersAtOnce()
{
    Holder first(3);
    check(first.waitUntilHolding(), "first of two holders gets the mutex");
    Holder second(4);
    check(second.waitUntilHolding(), "second holder is not refused");
    const DWORD firstCode = first.exit();
    check(firstCode == holderCreatedMutex, "first holder created the mutex", exitDetail(firstCode));
    checkMutexPresent("mutex stays while the second holder runs");
    const DWORD secondCode = second.exit();
    check(secondCode == holderOpenedExistingMutex, "second holder shared the first one's mutex",
          exitDetail(secondCode));
    checkMutexAbsent("mutex gone after both holders exited");
}

void testModulePathInNonAsciiFolder(const std::wstring &folder)
{
    const std::wstring copy = folder + L"\\Larkspur \u00dcpdater.exe";
    if (!CopyFileW(ownExecutable().c_str(), copy.c_str(), FALSE)) {
        check(false, "copy of the program in a non-ASCII folder",
              "CopyFileW error " + std::to_string(GetLastError()));
        return;
    }
    const DWORD code = endRole(startRole(copy, L"module-path \"" + copy + L"\""));
    check(code == 0, "module path names the running copy in a non-ASCII folder", exitDetail(code));
    DeleteFileW(copy.c_str());
}

void testOpenFileWithNonAsciiPath(const std::wstring &folder)
{
    // Outside the Basic Multilingual Plane too: the musical note needs a surrogate pair.
    const std::wstring name = folder + L"\\Update \u00fc\u00df \u66f4\u65b0 \U0001F3B5.zip";
    const std::string path = toUtf8(name);
    const char content[] = "PK\3\4 not quite an archive";

    std::FILE *output = nativeapi::openFile(path.c_str(), "wb");
    const bool written =
        output != nullptr && std::fwrite(content, 1, sizeof(content), output) == sizeof(content);
    if (output != nullptr)
        std::fclose(output);
    check(written, "openFile writes a file named by a non-ASCII UTF-8 path");
    check(GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES,
          "the file carries its Unicode name");

    char readBack[sizeof(content) + 1] = {};
    std::FILE *input = nativeapi::openFile(path.c_str(), "rb");
    const size_t readCount =
        input != nullptr ? std::fread(readBack, 1, sizeof(readBack), input) : 0;
    if (input != nullptr)
        std::fclose(input);
    check(readCount == sizeof(content) && std::memcmp(readBack, content, sizeof(content)) == 0,
          "openFile reads the same file back");
    DeleteFileW(name.c_str());

    std::FILE *missing = nativeapi::openFile(path.c_str(), "rb");
    check(missing == nullptr, "openFile gives no file for a missing path");
    if (missing != nullptr)
        std::fclose(missing);
}

int runScenarios()
{
    wchar_t temporary[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
    const std::wstring base = std::wstring(temporary, length) + L"larkspur_wintest_" +
                              std::to_wstring(GetCurrentProcessId());
    const std::wstring folder = base + L"\\\u00c9t\u00e9 \u66f4\u65b0 \u0444\u0430\u0439\u043b";
    if (!CreateDirectoryW(base.c_str(), nullptr) || !CreateDirectoryW(folder.c_str(), nullptr)) {
        std::printf("cannot create the test folder (error %lu)\n", GetLastError());
        return 1;
    }

    testMutexSeenWhileHeldAndGoneAfterClose();
    testMutexGoneWhenHolderExitsWithoutClosing();
    testTwoHoldersAtOnce();
    testModulePathInNonAsciiFolder(folder);
    testOpenFileWithNonAsciiPath(folder);

    RemoveDirectoryW(folder.c_str());
    RemoveDirectoryW(base.c_str());
    std::printf("%d passed, %d failed\n", passedCount, failedCount);
    return failedCount == 0 ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && std::wcscmp(argv[1], L"hold") == 0)
        return runHolder(argv[2]);
    if (argc == 3 && std::wcscmp(argv[1], L"module-path") == 0)
        return reportModulePath(argv[2]);
    return runScenarios();
}
