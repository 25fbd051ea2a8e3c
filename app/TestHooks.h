// Seams for tests that must see behaviour Wine cannot show by itself: a 32-bit
// executable, a user without administrator rights, and the exact launch record.
// The program never calls these.
#pragma once

#include <windows.h>
#include <shellapi.h>

namespace TestHooks {

// -1 forgets the cached value so that it is computed again; 0 or 1 sets it.
void SetExeBitness(int state);
void SetSystemBitness(int state);
// -1 asks the token as usual; 0 or 1 fixes the answer of IsAdmin.
void SetAdmin(int state);
// Forgets the PVR folder path and the 64-bit Common Files folder, so both are built again.
void ResetFolders();

using ShellExecuteExFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOA*);
// nullptr restores ShellExecuteExA.
void SetShellExecuteEx(ShellExecuteExFunction function);

}  // namespace TestHooks
