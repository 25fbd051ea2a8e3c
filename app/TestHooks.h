// Seams for tests that must see what Wine cannot show by itself: the 32-bit program's
// code paths, a user without administrator rights, the verb of a follow-up launch, and a
// folder swapped between a check and the act.
// Only the unit tests' build of the sources has them (TAVRIX_TEST_SEAMS, the library
// tavrix_core_seams); the program is built without.
#pragma once

#ifndef TAVRIX_TEST_SEAMS
#error "app/TestHooks.h belongs to the unit tests' build (tavrix_core_seams)"
#endif

#include <windows.h>
#include <shellapi.h>

namespace TestHooks {

// 0 makes the executable count as 32-bit, 1 as 64-bit; -1 asks the image again.
void SetExeBitness(int state);
// -1 asks the token as usual; 0 or 1 fixes the answer of IsAdmin.
void SetAdmin(int state);

// Called in place of ShellExecuteExA (nullptr restores it); a test's function records the
// launch record and may pass it on to ShellExecuteExA.
using ShellExecuteExFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOA*);
void SetShellExecuteEx(ShellExecuteExFunction function);

// Called with the path of each entry of the PVR source folder right before it is opened
// (nullptr: none).
using EntryOpenFunction = void (*)(const char* path);
void SetBeforeEntryOpen(EntryOpenFunction function);

}  // namespace TestHooks
