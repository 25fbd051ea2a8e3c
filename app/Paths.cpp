#include "app/Paths.h"

#include <windows.h>
#include <io.h>
#include <shlobj.h>
#include <strsafe.h>

#include <cstdlib>
#include <mutex>

#include "app/Log.h"
#include "app/Names.h"
#ifdef TAVRIX_TEST_SEAMS
#include "app/TestHooks.h"
#endif

namespace {

// Tri-states: -1 not yet known, 0 no, 1 yes.
volatile LONG systemBitness = -1;
volatile LONG exeBitness = -1;
volatile LONG pvrFolderState = -1;
char pvrFolderPath[kPathChars];

std::mutex common64Mutex;
char programFilesCommon64[kPathChars];

constexpr const char kPvrSubPath[] = "ORVA Systems\\PVR\\Supported3\\Sources";

void BuildPvrFolderPath() {
    char path[kPathChars] = {};
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, path);
    strcat_s(path, kPathChars, "\\");
    strcat_s(path, kPathChars, kPvrSubPath);
    StringCchCopyA(pvrFolderPath, kPathChars, path);
}

}  // namespace

bool IsSystem64Bit() {
    if (systemBitness >= 0) return systemBitness > 0;
    char value[kPathChars];
    size_t required = 0;
    // Only the existence of the variable matters; a too-small buffer still reports the size.
    getenv_s(&required, value, kPathChars, "ProgramFiles(x86)");
    systemBitness = required > 0 ? 1 : 0;
    return systemBitness > 0;
}

bool IsExe64Bit() {
    if (exeBitness >= 0) return exeBitness > 0;
    char path[kPathChars] = {};
    DWORD type = 0;
    if (GetModuleFileNameA(nullptr, path, kPathChars) == 0 || !GetBinaryTypeA(path, &type)) type = 0;
    exeBitness = type == SCS_64BIT_BINARY ? 1 : 0;
    return exeBitness > 0;
}

const char* ExeBitsText() { return IsExe64Bit() ? "64" : "32"; }

bool GetPvrSourcePath(char* buffer, size_t size) {
    (void)size;  // callers pass 260-character buffers; the bound is fixed on purpose
    if (pvrFolderState < 0) {
        BuildPvrFolderPath();
        pvrFolderState = 0;
    }
    bool exists = _access(pvrFolderPath, 0) == 0;
    pvrFolderState = exists ? 1 : 0;
    if (!exists) {
        LogMessage("GetPvrSourcePath %sBit access path failed: %s", ExeBitsText(), pvrFolderPath);
        return false;
    }
    StringCchCopyA(buffer, kPathChars, pvrFolderPath);
    return true;
}

void GetHome32Folder(char* buffer, size_t size) {
    char folder[kPathChars] = {};
    int csidl = IsExe64Bit() ? CSIDL_PROGRAM_FILES_COMMONX86 : CSIDL_PROGRAM_FILES_COMMON;
    SHGetFolderPathA(nullptr, csidl, nullptr, 0, folder);
    StringCchPrintfA(buffer, size, "%s\\%s\\%s", folder, kCompanyFolder, kProductFolder);
}

void GetIniFilePath(char* buffer) {
    char home[kPathChars] = {};
    GetHome32Folder(home, kPathChars);
    StringCchPrintfA(buffer, kPathChars, "%s\\%s", home, kIniFileName);
}

bool GetProgramFilesCommon64(char* buffer, size_t size) {
    // The tray's thread and the main thread may both launch a follow-up copy at once.
    std::lock_guard<std::mutex> hold(common64Mutex);
    if (programFilesCommon64[0] == '\0') {
        size_t required = 0;
        if (getenv_s(&required, programFilesCommon64, kPathChars, "CommonProgramW6432") != 0 || required == 0) {
            programFilesCommon64[0] = '\0';
            LogMessage("Error setup programFilesCommon64!");
        }
    }
    StringCchCopyA(buffer, size, programFilesCommon64);
    return programFilesCommon64[0] != '\0';
}

#ifdef TAVRIX_TEST_SEAMS
namespace TestHooks {

void SetExeBitness(int state) { exeBitness = state; }

}  // namespace TestHooks
#endif
