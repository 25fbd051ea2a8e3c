// Administrator test and the start of the installed follow-up copy.
#pragma once

#include <windows.h>

// The Windows version as GetVersionExA reports it; false when it cannot be read.
bool GetSystemVersion(DWORD& major, DWORD& minor);

bool IsWindowsXpFamily();
bool IsAdmin();
bool IsUacEnabled();

// After a job: starts the elevated copy, or the 64-bit copy from a 32-bit administrator
// process on a 64-bit system, with `option` ("-i" or "-r"). Never waits for it.
void StartFollowUp(bool admin, const char* option);
void LaunchInstaller64(bool elevate, const char* option);
void LaunchInstaller(bool elevate, const char* option, const char* baseFolder);
