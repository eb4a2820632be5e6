#include "platform/nativeapi.h"

#include <windows.h>

#include <shellapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <memory>
#include <vector>

namespace nativeapi {

namespace {

std::string narrow(const wchar_t *text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string narrowed(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrowed.data(), size, nullptr, nullptr);
    narrowed.resize(static_cast<size_t>(size) - 1);
    return narrowed;
}

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

// The system's text for an error code, as Qt words its own file errors.
std::string errorText(DWORD code)
{
    wchar_t *buffer = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::string text = buffer ? narrow(buffer) : "Unknown error " + std::to_string(code);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

struct CertificateRelease
{
    void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateRelease>;

// WinVerifyTrust's verdict on a file's embedded signature and, when it trusts it, its signer's
// certificate. The file is read through `file` when it is open, else by its path. Revocation
// comes from the local cache only, so that a machine without a network still updates.
LONG verifySignature(const std::wstring &path, HANDLE file, Certificate &signer)
{
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;

    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (result == ERROR_SUCCESS) {
        CRYPT_PROVIDER_DATA *provider = WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR *signature =
            provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT *certificate =
            signature ? WTHelperGetProvCertFromChain(signature, 0) : nullptr;
        if (certificate && certificate->pCert)
            signer.reset(CertDuplicateCertificateContext(certificate->pCert));
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result == ERROR_SUCCESS && !signer ? TRUST_E_NO_SIGNER_CERT : result;
}

// Whether the running program's own image carries an embedded signature, whatever becomes of its
// file on disk afterwards: its security directory is not empty.
bool carriesSignature()
{
    const auto *image = reinterpret_cast<const BYTE *>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image);
    const auto *headers = reinterpret_cast<const IMAGE_NT_HEADERS *>(image + dos->e_lfanew);
    return headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size != 0;
}

// The signer's certificate of a file's embedded signature, read without verifying anything; null
// when there is none that can be read.
Certificate embeddedSigner(const std::wstring &path)
{
    DWORD encoding = 0;
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                          0, &encoding, nullptr, nullptr, &store, &message, nullptr))
        return nullptr;
    Certificate signer;
    DWORD size = 0;
    if (CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size)) {
        std::vector<BYTE> info(size);
        if (CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size))
            signer.reset(CertFindCertificateInStore(store, encoding, 0, CERT_FIND_SUBJECT_CERT,
                                                    info.data(), nullptr));
    }
    CryptMsgClose(message);
    CertCloseStore(store, 0);
    return signer;
}

std::string commonName(PCCERT_CONTEXT certificate)
{
    const DWORD size = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0,
                                          const_cast<char *>(szOID_COMMON_NAME), nullptr, 0);
    std::wstring name(size, L'\0');
    CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char *>(szOID_COMMON_NAME),
                       name.data(), size);
    return narrow(name.c_str());
}

} // namespace

void restrictLibrarySearch()
{
    // Windows 7 and 8 gained the call only with an update.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI *)(DWORD);
    const auto setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void *>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories)
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

std::vector<std::string> commandLineArguments(int, char *[])
{
    // No fallback to the ANSI argv, which may count the arguments otherwise: a command line that
    // can't be split counts as none.
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments)
        return {};
    std::vector<std::string> result;
    for (int index = 0; index < count; ++index)
        result.push_back(narrow(arguments[index]));
    LocalFree(arguments);
    return result;
}

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
    std::wstring buffer(32000, L'\0');
    GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return narrow(buffer.c_str());
}

std::FILE *openFile(const char *path, const char *mode)
{
    return _wfopen(widen(path).c_str(), widen(mode).c_str());
}

void allowExecution(const std::string &) {}

namespace {

// The arguments as one line; they hold no space or quote of their own.
std::wstring joined(const std::vector<std::string> &arguments)
{
    std::wstring line;
    for (const std::string &argument : arguments)
        line += (line.empty() ? L"" : L" ") + widen(argument.c_str());
    return line;
}

// What CreateProcess answers for an installer that asks for administrator rights in its
// manifest; MinGW's headers lack the name.
constexpr DWORD elevationRequired = 740;

// Such an installer can't be created by an unelevated program: the shell asks the user, as a
// double click would.
bool startElevated(const std::wstring &program, const std::vector<std::string> &arguments,
                   std::int64_t &processId, std::string &error)
{
    const std::wstring parameters = joined(arguments);
    SHELLEXECUTEINFOW execute = {};
    execute.cbSize = sizeof(execute);
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    execute.lpVerb = L"runas";
    execute.lpFile = program.c_str();
    execute.lpParameters = parameters.c_str();
    execute.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&execute)) {
        error = errorText(GetLastError());
        return false;
    }
    processId = execute.hProcess ? GetProcessId(execute.hProcess) : 0;
    if (execute.hProcess)
        CloseHandle(execute.hProcess);
    return true;
}

} // namespace

bool startDetached(const std::string &program, const std::vector<std::string> &arguments,
                   std::int64_t &processId, std::string &error)
{
    // The null device is the only handle the installer inherits: handles this program got from
    // the product (the pipes of its standard output, say) are inheritable here too, and would
    // otherwise be held open by the installer until it ends.
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE null =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inheritable, OPEN_EXISTING, 0, nullptr);
    if (null == INVALID_HANDLE_VALUE) {
        error = errorText(GetLastError());
        return false;
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributeBuffer(size);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
    const bool listed = InitializeProcThreadAttributeList(attributes, 1, 0, &size);
    BOOL started =
        listed && UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &null,
                                            sizeof(null), nullptr, nullptr);

    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null;
    startup.StartupInfo.hStdOutput = null;
    startup.StartupInfo.hStdError = null;
    startup.lpAttributeList = attributes;
    PROCESS_INFORMATION process = {};
    const std::wstring path = widen(program.c_str());
    std::wstring line = L'"' + path + L"\" " + joined(arguments);
    // A console installer gets no console window of its own, as this program has none.
    started = started && CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup.StartupInfo, &process);
    const DWORD failure = GetLastError();
    if (listed)
        DeleteProcThreadAttributeList(attributes);
    CloseHandle(null);
    if (started) {
        processId = process.dwProcessId;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return true;
    }
    if (failure == elevationRequired)
        return startElevated(path, arguments, processId, error);
    error = errorText(failure);
    return false;
}

bool replaceFile(const std::string &from, const std::string &to, std::string &error)
{
    const std::wstring source = widen(from.c_str()), target = widen(to.c_str());
    // A scanner that opened the new file without sharing its removal makes the move fail for a
    // moment. Three seconds stay below the five after which Windows calls a window that handles
    // no messages hung.
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        const DWORD failure = GetLastError();
        if (attempt == 30 ||
            (failure != ERROR_ACCESS_DENIED && failure != ERROR_SHARING_VIOLATION &&
             failure != ERROR_LOCK_VIOLATION)) {
            error = errorText(failure);
            return false;
        }
        Sleep(100);
    }
}

bool flushFile(const std::string &path)
{
    // Flushing asks for write access; every sharing is allowed, as the download is still open.
    const HANDLE file = CreateFileW(widen(path.c_str()).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool flushed = FlushFileBuffers(file);
    CloseHandle(file);
    return flushed;
}

RemoveResult removePlainFile(const std::string &path)
{
    // Opened as itself, never through a link or junction, and removed through the very handle
    // whose attributes were checked.
    const HANDLE file =
        CreateFileW(widen(path.c_str()).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD failure = GetLastError();
        return failure == ERROR_FILE_NOT_FOUND || failure == ERROR_PATH_NOT_FOUND
                   ? RemoveResult::NotPlainFile
                   : RemoveResult::Failed;
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    RemoveResult result = RemoveResult::NotPlainFile;
    if (GetFileInformationByHandle(file, &information) &&
        !(information.dwFileAttributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        result =
            SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition))
                ? RemoveResult::Removed
                : RemoveResult::Failed;
    }
    CloseHandle(file);
    return result;
}

LockResult lockFile(const std::string &path, FileHandle &handle, std::string &error)
{
    // Read access with every sharing allowed, so that the writer, the extractor, the installer's
    // start and the removal all go on beside it. The lock is a byte far past any end of file:
    // only other instances asking for it ever meet it.
    handle = CreateFileW(widen(path.c_str()).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        handle = noFile;
        error = errorText(GetLastError());
        return LockResult::Failed;
    }
    OVERLAPPED lockedByte = {};
    lockedByte.Offset = 0xfffffffe;
    lockedByte.OffsetHigh = 0x7fffffff;
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &lockedByte))
        return LockResult::Locked;
    const DWORD lockError = GetLastError();
    CloseHandle(handle);
    handle = noFile;
    if (lockError == ERROR_LOCK_VIOLATION)
        return LockResult::Busy;
    error = errorText(lockError);
    return LockResult::Failed;
}

void closeFile(FileHandle handle)
{
    if (handle)
        CloseHandle(handle);
}

InstallerCheck checkInstaller(const std::string &path, FileHandle &hold)
{
    hold = noFile;
    InstallerCheck check;
    if (!carriesSignature())
        return check;
    const Certificate programSigner = embeddedSigner(widen(moduleFilePath().c_str()));
    if (!programSigner) {
        check.verdict = InstallerCheck::OwnSignatureUnreadable;
        return check;
    }

    // Read sharing only: nothing can write, replace or remove the file from here until the
    // installer has started, and the start itself asks for no more.
    const std::wstring installer = widen(path.c_str());
    hold = CreateFileW(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hold == INVALID_HANDLE_VALUE) {
        // Someone else writes it: no signature can vouch for what it will hold.
        hold = noFile;
        check.verdict = InstallerCheck::NotValid;
        return check;
    }

    Certificate installerSigner;
    const LONG result = verifySignature(installer, hold, installerSigner);
    if (result == TRUST_E_NOSIGNATURE || result == TRUST_E_SUBJECT_FORM_UNKNOWN) {
        check.verdict = InstallerCheck::NotSigned;
    } else if (result != ERROR_SUCCESS) {
        check.verdict = InstallerCheck::NotValid;
    } else if (!CertCompareCertificateName(X509_ASN_ENCODING, &installerSigner->pCertInfo->Subject,
                                           &programSigner->pCertInfo->Subject)) {
        check.verdict = InstallerCheck::OtherSigner;
        check.installerSigner = commonName(installerSigner.get());
        check.programSigner = commonName(programSigner.get());
    }
    return check;
}

bool holdsOwnFile(std::int64_t processId)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(processId));
    if (!process)
        return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

} // namespace nativeapi
