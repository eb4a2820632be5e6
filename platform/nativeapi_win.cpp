#include "platform/nativeapi.h"

#include <windows.h>

#include <shellapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <memory>

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

std::vector<std::string> commandLineArguments(int argc, char *argv[])
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments)
        return std::vector<std::string>(argv, argv + argc);
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
    Certificate programSigner;
    if (verifySignature(widen(moduleFilePath().c_str()), nullptr, programSigner) != ERROR_SUCCESS)
        return check;

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
