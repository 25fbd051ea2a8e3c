#include "install/FolderEntries.h"

#include <fcntl.h>
#include <io.h>
#include <strsafe.h>

#include <cstring>

#include "app/Log.h"
#ifdef TAVRIX_TEST_SEAMS
#include "app/TestHooks.h"
#endif

namespace {

#ifdef TAVRIX_TEST_SEAMS
TestHooks::EntryOpenFunction beforeEntryOpen = nullptr;
#endif

// The code page FindFirstFileA and CreateFileA convert names with.
UINT FileNameCodePage() { return AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

// Wide on purpose: the "A" form converts with the same best-fit table, so a folder whose wide
// name only looks like ours would pass.
bool FinalPath(HANDLE entry, std::wstring& path) {
    DWORD chars = GetFinalPathNameByHandleW(entry, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (chars == 0) return false;
    path.assign(chars, L'\0');
    DWORD written = GetFinalPathNameByHandleW(entry, &path[0], chars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (written == 0 || written >= chars) return false;
    path.resize(written);
    return true;
}

// True when `entry` is `folder`, a backslash and one name that reads as `name` in the narrow
// text `name` came from. A link opened as itself is where it was looked for; a link followed,
// a folder swapped on the way, or another entry that the narrow name also fits is not.
bool IsNamedIn(const std::wstring& entry, const std::wstring& folder, const char* name) {
    const size_t start = folder.size() + 1;
    if (entry.size() <= start || entry.compare(0, folder.size(), folder) != 0 || entry[folder.size()] != L'\\')
        return false;
    if (entry.find(L'\\', start) != std::wstring::npos) return false;
    char narrow[kPathChars];
    if (WideCharToMultiByte(FileNameCodePage(), 0, entry.c_str() + start, -1, narrow, kPathChars, nullptr, nullptr) == 0)
        return false;
    return lstrcmpiA(narrow, name) == 0;
}

}  // namespace

bool IsLinkAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool CanBeFileName(const char* name) {
    if (*name == '\0') return false;
    const UINT codePage = FileNameCodePage();
    // Character by character: in a double-byte code page a trail byte may be a backslash.
    for (const char* c = name; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (IsDBCSLeadByteEx(codePage, byte)) {
            if (*++c == '\0') return false;
            continue;
        }
        if (byte < 0x20 || strchr("\\/:*?\"<>|", byte) != nullptr) return false;
    }
    return true;
}

bool CEntry::OpenFolder(const char* path) {
    if (FAILED(StringCchCopyA(path_, kPathChars, path))) return false;
    handle_.Reset(CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return handle_.IsValid() && FinalPath(handle_.Get(), finalPath_);
}

EntryPlace CEntry::Open(const CEntry& folder, const char* name, DWORD access, DWORD share, DWORD creation) {
    handle_.Reset();
    if (FAILED(StringCchPrintfA(path_, kPathChars, "%s\\%s", folder.path_, name))) return EntryPlace::kNotOpened;
#ifdef TAVRIX_TEST_SEAMS
    if (beforeEntryOpen != nullptr) beforeEntryOpen(path_);
#endif
    handle_.Reset(CreateFileA(path_, access | FILE_READ_ATTRIBUTES, share, nullptr, creation,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr));
    openError_ = GetLastError();
    if (!handle_.IsValid()) return EntryPlace::kNotOpened;
    if (!GetFileInformationByHandle(handle_.Get(), &info_) || !FinalPath(handle_.Get(), finalPath_) ||
        !IsNamedIn(finalPath_, folder.finalPath_, name))
        return EntryPlace::kElsewhere;
    return EntryPlace::kInFolder;
}

bool CEntry::IsPlainFolder() const {
    return handle_.IsValid() && !IsLinkAttributes(info_.dwFileAttributes) &&
           (info_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CEntry::IsPlainFile() const {
    return handle_.IsValid() && !IsLinkAttributes(info_.dwFileAttributes) &&
           (info_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && info_.nNumberOfLinks <= 1;
}

bool CEntry::Delete() {
    // Through the handle: a link opened as itself goes, never its target; a folder only when empty.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle_.Get(), FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

FILE* OpenPlainFileForText(const CEntry& folder, const char* name) {
    // Opened without truncation first, so that a link found on the handle is left untouched.
    // The TV application keeps these files open while it reads them: denying nothing lets the
    // new contents in even then. A new file is made with the right to take it back.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    CEntry file;
    EntryPlace place = file.Open(folder, name, GENERIC_WRITE, share, OPEN_EXISTING);
    const bool created = place == EntryPlace::kNotOpened && file.OpenError() == ERROR_FILE_NOT_FOUND;
    if (created) place = file.Open(folder, name, GENERIC_WRITE | DELETE, share, CREATE_NEW);
    if (place == EntryPlace::kElsewhere) {
        LogMessage("PvrFiles %sBit file is not in its tuner folder: %s", ExeBitsText(), file.Path());
        if (created) file.Delete();
        return nullptr;
    }
    if (place != EntryPlace::kInFolder || !file.IsPlainFile() || !SetEndOfFile(file.Get())) return nullptr;
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.Get()), _O_WRONLY | _O_TEXT);
    if (descriptor == -1) return nullptr;
    file.Release();
    FILE* stream = _fdopen(descriptor, "w");
    if (stream == nullptr) _close(descriptor);
    return stream;
}

#ifdef TAVRIX_TEST_SEAMS
namespace TestHooks {

void SetBeforeEntryOpen(EntryOpenFunction function) { beforeEntryOpen = function; }

}  // namespace TestHooks
#endif
