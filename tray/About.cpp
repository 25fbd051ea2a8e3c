// The About box: the program's and the tuner filter module's file versions.
#include <windows.h>
#include <shlobj.h>
#include <strsafe.h>

#include <vector>

#include "app/Names.h"
#include "app/Paths.h"
#include "app/TextLookup.h"
#include "tray/TrayIcon.h"
#include "tray/TrayNames.h"
#include "tray/TrayText.h"

namespace {

constexpr size_t kAboutLineChars = 100;
constexpr size_t kAboutTextChars = 1000;
constexpr size_t kVersionChars = 260;
constexpr const char kFilterModule[] = "OrvaTavrix.ax";
constexpr const char kCopyright[] = "Copyright (C) 2026 ORVA Systems. All rights reserved.";

struct FileVersion {
    DWORD parts[4];
};

bool ReadFileVersion(const char* path, FileVersion& version) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) return false;
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoA(path, 0, size, block.data())) return false;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize)) return false;
    if (fixed == nullptr || fixedSize < sizeof(VS_FIXEDFILEINFO)) return false;
    version.parts[0] = HIWORD(fixed->dwFileVersionMS);
    version.parts[1] = LOWORD(fixed->dwFileVersionMS);
    version.parts[2] = HIWORD(fixed->dwFileVersionLS);
    version.parts[3] = LOWORD(fixed->dwFileVersionLS);
    return true;
}

}  // namespace

bool CTrayIcon::__GetDriverVersion(char* text) {
    char folder[MAX_PATH] = {};
    int csidl = IsExe64Bit() ? CSIDL_PROGRAM_FILES_COMMONX86 : CSIDL_PROGRAM_FILES_COMMON;
    if (FAILED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder))) return false;
    char path[kPathChars];
    if (FAILED(StringCchPrintfA(path, kPathChars, "%s\\%s\\%s\\%s", folder, kCompanyFolder, kProductFolder,
                                kFilterModule)))
        return false;
    FileVersion version;
    if (!ReadFileVersion(path, version)) return false;
    StringCchPrintfA(text, kVersionChars, "%d.%d.%d.%d", static_cast<int>(version.parts[0]),
                     static_cast<int>(version.parts[1]), static_cast<int>(version.parts[2]),
                     static_cast<int>(version.parts[3]));
    return true;
}

void CTrayIcon::__ShowAbout(HWND window) {
    char exePath[kPathChars] = {};
    GetModuleFileNameA(nullptr, exePath, kPathChars);
    exePath[kPathChars - 1] = '\0';
    FileVersion own = {};
    ReadFileVersion(exePath, own);

    char word[kTextChars];
    char ownVersion[kVersionChars];
    StringCchPrintfA(ownVersion, kVersionChars, "%d.%d.%d.%d", static_cast<int>(own.parts[0]),
                     static_cast<int>(own.parts[1]), static_cast<int>(own.parts[2]), static_cast<int>(own.parts[3]));
    char applicationLine[kAboutLineChars];
    __Lookup("Application", word);
    FormatVersionLine(word, "\t", ownVersion, "\n", applicationLine, kAboutLineChars);

    // Without the module the line says so in the user's language rather than showing no version.
    char driverLine[kAboutLineChars];
    char driverVersion[kVersionChars];
    bool haveDriver = __GetDriverVersion(driverVersion);
    __Lookup("Driver", word);
    if (haveDriver) {
        FormatVersionLine(word, "\t\t", driverVersion, "", driverLine, kAboutLineChars);
    } else {
        char missing[kTextChars];
        __Lookup("not installed", missing);
        StringCchPrintfA(driverLine, kAboutLineChars, "%s\t\t%s", word, missing);
    }

    char about[kAboutTextChars];
    StringCchPrintfA(about, kAboutTextChars, "Zentrova 2T\n\n%s\n%s\n\n%s", applicationLine, driverLine, kCopyright);
    MessageBoxA(window, about, TrayTitle(), MB_OK | MB_ICONINFORMATION);
}
