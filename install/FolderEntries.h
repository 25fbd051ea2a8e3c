// Entries of folders that any user may write to (the PVR source folder and what is in it):
// a junction, a symbolic link or a hard link there could point an elevated copy of ours at
// files of the system, so such entries are handled as themselves and never followed.
#pragma once

#include <windows.h>

#include <cstdio>

#include "app/Scoped.h"

// A reparse point: a junction or a symbolic link, to a folder or a file.
bool IsLinkAttributes(DWORD attributes);

// Opens the folder at `path` itself, never a link's target, and keeps it from being renamed
// or deleted while `folder` holds it. False for a link or anything else that is no plain folder.
bool OpenPlainFolder(const char* path, CScopedHandle& folder);

// Creates or truncates the file at `path` for writing in text mode; nullptr when it cannot be
// opened, or when the entry there is a link of any kind (which is then left as it is).
FILE* OpenPlainFileForText(const char* path);

// Removes a link itself, not what it points to.
bool RemoveLink(const char* path, DWORD attributes);
