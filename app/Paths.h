// Bitness of the system and of this executable, and the folders the program uses.
#pragma once

#include <cstddef>

constexpr size_t kPathChars = 260;

bool IsSystem64Bit();
bool IsExe64Bit();

// "64" or "32" for the running executable, for log lines that carry "%sBit".
const char* ExeBitsText();

// The PVR source folder below the Common Files folder of the executable's bitness.
// True and the path in `buffer` when the folder exists (tested on every call); the
// copy is bounded by 260 characters whatever `size` says.
bool GetPvrSourcePath(char* buffer, size_t size);

// Path of TavrixInstall.ini in the home of the 32-bit copy; `buffer` holds 260 characters.
void GetIniFilePath(char* buffer);

// Home of the 32-bit copy ("...\ORVA Systems\Zentrova" below the 32-bit Common Files).
void GetHome32Folder(char* buffer, size_t size);

// The 64-bit Common Files folder from "CommonProgramW6432" into `buffer` (260);
// false, with "Error setup programFilesCommon64!" logged, while the variable is missing.
bool GetProgramFilesCommon64(char* buffer, size_t size);
