#include "install/FolderEntries.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace {

// The attributes are checked on the opened entry as well as before opening it, so that an
// entry swapped for a link in between is not followed either.
bool IsPlainEntry(HANDLE entry, bool directory) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(entry, &info)) return false;
    if (IsLinkAttributes(info.dwFileAttributes)) return false;
    if (((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != directory) return false;
    // A second name of a file is a hard link to something that may not be ours.
    return directory || info.nNumberOfLinks <= 1;
}

bool HasPlainAttributes(const char* path, bool directory) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return !directory;  // a file not there yet
    return !IsLinkAttributes(attributes) && ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == directory;
}

}  // namespace

bool IsLinkAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool OpenPlainFolder(const char* path, CScopedHandle& folder) {
    folder.Reset();
    if (!HasPlainAttributes(path, true)) return false;
    // Shared for reading and writing only: nobody can rename or delete it while it is held.
    folder.Reset(CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (folder.IsValid() && IsPlainEntry(folder.Get(), true)) return true;
    folder.Reset();
    return false;
}

FILE* OpenPlainFileForText(const char* path) {
    if (!HasPlainAttributes(path, false)) return nullptr;
    // Opened without truncation first, so that a link found on the handle is left untouched.
    // The TV application keeps these files open while it reads them: denying nothing lets the
    // new contents in even then.
    CScopedHandle file(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr));
    if (!file.IsValid() || !IsPlainEntry(file.Get(), false) || !SetEndOfFile(file.Get())) return nullptr;
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.Get()), _O_WRONLY | _O_TEXT);
    if (descriptor == -1) return nullptr;
    file.Release();
    FILE* stream = _fdopen(descriptor, "w");
    if (stream == nullptr) _close(descriptor);
    return stream;
}

bool RemoveLink(const char* path, DWORD attributes) {
    // Both calls remove the link's own entry; a folder link's target keeps its files.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryA(path) != FALSE : DeleteFileA(path) != FALSE;
}
