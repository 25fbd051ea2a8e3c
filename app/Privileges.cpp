#include "app/Privileges.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <strsafe.h>

#include <cstdio>
#include <mutex>

#include "app/Log.h"
#include "app/Names.h"
#include "app/Paths.h"
#include "app/Scoped.h"
#ifdef TAVRIX_TEST_SEAMS
#include "app/TestHooks.h"
#endif

namespace {

#ifdef TAVRIX_TEST_SEAMS
volatile LONG adminOverride = -1;
TestHooks::ShellExecuteExFunction shellExecuteEx = nullptr;
#endif

// The last follow-up copy started, shared by the main thread and the tray's thread.
std::mutex launchMutex;
HANDLE heldFollowUp = nullptr;
SHELLEXECUTEINFOA launchRecord;

bool IsAdminByToken() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return false;
    CScopedHandle token(rawToken);
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD returned = 0;
    if (!GetTokenInformation(token.Get(), TokenElevationType, &type, sizeof(type), &returned)) return false;
    switch (type) {
        case TokenElevationTypeDefault: {
            bool admin = IsUserAnAdmin() != FALSE;
            TraceMessage("UAC is %s - We are Admin: %s", IsUacEnabled() ? "enabled" : "disabled", admin ? "Yes" : "No");
            return admin;
        }
        case TokenElevationTypeFull:
            TraceMessage("TokenElevationTypeFull - User has a split token, and the process is running elevated");
            return true;
        case TokenElevationTypeLimited:
            TraceMessage("TokenElevationTypeLimited - User has a split token, but the process is not running elevated");
            return false;
        default:
            return false;
    }
}

// True when the previous copy still runs; otherwise forgets it.
bool PreviousFollowUpRuns() {
    if (heldFollowUp == nullptr) return false;
    if (WaitForSingleObject(heldFollowUp, 0) == WAIT_TIMEOUT) return true;
    heldFollowUp = nullptr;
    if (launchRecord.hProcess != nullptr) CloseHandle(launchRecord.hProcess);
    launchRecord.hProcess = nullptr;
    return false;
}

bool FileExists(const char* path) {
    FILE* file = nullptr;
    if (fopen_s(&file, path, "r") != 0 || file == nullptr) return false;
    fclose(file);
    return true;
}

void LaunchLocked(bool elevate, const char* option, const char* baseFolder) {
    if (PreviousFollowUpRuns()) return;
    char folder[kPathChars];
    char file[kPathChars];
    StringCchPrintfA(folder, kPathChars, "%s\\%s\\%s", baseFolder, kCompanyFolder, kProductFolder);
    StringCchPrintfA(file, kPathChars, "%s\\%s", folder, kExeFileName);
    if (!FileExists(file)) {
        LogMessage("ShellExecuteEx failed! path not found: %s ", file);
        return;
    }
    LogMessage("ShellExecuteEx path: %s", file);
    ZeroMemory(&launchRecord, sizeof(launchRecord));
    launchRecord.cbSize = sizeof(launchRecord);
    launchRecord.fMask = SEE_MASK_NOCLOSEPROCESS;
    launchRecord.lpVerb = elevate ? "runas" : nullptr;
    launchRecord.lpFile = file;
    launchRecord.lpParameters = option;
    launchRecord.lpDirectory = folder;
    launchRecord.nShow = SW_HIDE;
#ifdef TAVRIX_TEST_SEAMS
    BOOL started = shellExecuteEx != nullptr ? shellExecuteEx(&launchRecord) : ShellExecuteExA(&launchRecord);
#else
    BOOL started = ShellExecuteExA(&launchRecord);
#endif
    heldFollowUp = started ? launchRecord.hProcess : nullptr;
    // The strings live on this stack frame; keep only the handle.
    launchRecord.lpFile = launchRecord.lpParameters = launchRecord.lpDirectory = launchRecord.lpVerb = nullptr;
}

}  // namespace

bool GetSystemVersion(DWORD& major, DWORD& minor) {
    OSVERSIONINFOEXA version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    // The program's own answer to "which Windows" is what decides its code paths here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) return false;
#pragma GCC diagnostic pop
    major = version.dwMajorVersion;
    minor = version.dwMinorVersion;
    return true;
}

bool IsWindowsXpFamily() {
    DWORD major = 0;
    DWORD minor = 0;
    return GetSystemVersion(major, minor) && major == 5 && minor >= 1;
}

bool IsAdmin() {
#ifdef TAVRIX_TEST_SEAMS
    if (adminOverride >= 0) return adminOverride > 0;
#endif
    if (IsWindowsXpFamily()) return IsUserAnAdmin() != FALSE;
    return IsAdminByToken();
}

bool IsUacEnabled() {
    CScopedKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", 0, KEY_READ,
                      key.Receive()) != ERROR_SUCCESS) {
        LogMessage("%s", "RegOpenKeyEx failed");
        return false;
    }
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExA(key.Get(), "EnableLUA", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        return false;
    TraceMessage("EnabledLUA: %d", value);
    return value == 1;
}

void StartFollowUp(bool admin, const char* option) {
    if (admin) {
        if (IsSystem64Bit() && !IsExe64Bit()) LaunchInstaller64(false, option);
        return;
    }
    if (IsExe64Bit()) {
        LaunchInstaller64(true, option);
        return;
    }
    char base[kPathChars] = {};
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, base);
    LaunchInstaller(true, option, base);
}

void LaunchInstaller64(bool elevate, const char* option) {
    char base[kPathChars] = {};
    GetProgramFilesCommon64(base, kPathChars);
    LaunchInstaller(elevate, option, base);
}

void LaunchInstaller(bool elevate, const char* option, const char* baseFolder) {
    try {
        std::lock_guard<std::mutex> hold(launchMutex);
        LaunchLocked(elevate, option, baseFolder);
    } catch (...) {
        // A launch that throws simply does not happen; the caller never acts on it.
    }
}

#ifdef TAVRIX_TEST_SEAMS
namespace TestHooks {

void SetAdmin(int state) { adminOverride = state; }
void SetShellExecuteEx(ShellExecuteExFunction function) { shellExecuteEx = function; }

}  // namespace TestHooks
#endif
