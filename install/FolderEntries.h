// Entries of folders that any user may write to (the PVR source folder and what is in it):
// a junction, a symbolic link or a hard link there, or a folder swapped for one between a check
// and the act, could point an elevated copy of ours at files of the system. So each entry is
// opened as itself, and deleted or written only through a handle whose final location was
// checked to be the very folder it was looked for in.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

#include "app/Paths.h"
#include "app/Scoped.h"

// A reparse point: a junction or a symbolic link, to a folder or a file.
bool IsLinkAttributes(DWORD attributes);

// False when `name` (text of an "A" function) holds a character no file name can hold: such a
// name exists only through the lossy conversion of a wide name (the fullwidth reverse solidus
// arrives as a backslash) and, joined into a path, would name another file or folder.
bool CanBeFileName(const char* name);

// Where an opened entry was found to be.
enum class EntryPlace { kNotOpened, kInFolder, kElsewhere };

// A file or folder opened as itself (never a link's target), with its final path.
class CEntry {
public:
    // The PVR source folder: the measure of everything in it.
    bool OpenFolder(const char* path);
    // `name` in `folder`. A folder opened for listing or deletion without FILE_SHARE_DELETE and
    // FILE_SHARE_WRITE is held: nobody can rename or delete it, nor make it a mount point. (An
    // open for attributes only takes no part in sharing.) kElsewhere keeps the handle, so that a
    // file this open created in the wrong place can be taken back.
    EntryPlace Open(const CEntry& folder, const char* name, DWORD access, DWORD share, DWORD creation);

    HANDLE Get() const { return handle_.Get(); }
    HANDLE Release() { return handle_.Release(); }
    const char* Path() const { return path_; }
    DWORD OpenError() const { return openError_; }
    bool IsPlainFolder() const;
    // Neither a link nor a second name of a file: a hard link may be anybody's file.
    bool IsPlainFile() const;
    bool Delete();

private:
    CScopedHandle handle_;
    char path_[kPathChars] = "";
    std::wstring finalPath_;
    BY_HANDLE_FILE_INFORMATION info_ = {};
    DWORD openError_ = 0;
};

// `name` in `folder` (held) created or truncated for writing in text mode; nullptr when it
// cannot be opened, is a link of any kind (left as it is), or lies elsewhere (logged once).
FILE* OpenPlainFileForText(const CEntry& folder, const char* name);
