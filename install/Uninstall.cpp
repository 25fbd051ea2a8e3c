#include <windows.h>
#include <dshow.h>
#include <oleauto.h>
#include <strsafe.h>
#include <wrl/client.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/Log.h"
#include "app/Names.h"
#include "app/Paths.h"
#include "app/Scoped.h"
#include "devices/Devices.h"
#include "install/FolderEntries.h"
#include "install/InstallShared.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr size_t kProductWordChars = sizeof(kProductWord) - 1;
constexpr size_t kInstancePrefixChars = sizeof(kInstancePrefix) - 1;

// Owns a VARIANT: cleared on every way out.
class CVariant {
public:
    CVariant() { VariantInit(&value_); }
    ~CVariant() { VariantClear(&value_); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;

    VARIANT* Get() { return &value_; }
    const wchar_t* String() const { return V_VT(&value_) == VT_BSTR ? V_BSTR(&value_) : nullptr; }

private:
    VARIANT value_;
};

// Copies the Id that follows `prefixChars` characters and one separator into a
// 20-character buffer. False for a name that ends at the prefix or the separator, or
// whose Id does not fit: the program never makes such names.
bool IdAfterPrefix(const char* name, size_t prefixChars, char* tunerId) {
    size_t length = strnlen(name, prefixChars + 1 + kTunerIdChars);
    if (length <= prefixChars + 1) return false;
    const char* id = name + prefixChars + 1;
    if (strnlen(id, kTunerIdChars) >= kTunerIdChars) return false;
    return SUCCEEDED(StringCchCopyA(tunerId, kTunerIdChars, id));
}

// Reads the instance's friendly name; empty when the moniker has none.
bool ReadFriendlyName(IMoniker* moniker, CVariant& name) {
    ComPtr<IPropertyBag> bag;
    HRESULT hr = moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(bag.GetAddressOf()));
    if (FAILED(hr)) return false;
    hr = bag->Read(L"FriendlyName", name.Get(), nullptr);
    return SUCCEEDED(hr) && name.String() != nullptr;
}

// The friendly name of an instance whose tuner is not listed; empty for every other.
std::wstring UnlistedInstanceName(CDevices& devices, IMoniker* moniker) {
    CVariant name;
    if (!ReadFriendlyName(moniker, name)) return std::wstring();
    char tunerId[kTunerIdChars];
    if (!TunerNameFromFriendlyName(name.String(), tunerId)) return std::wstring();
    if (devices.HasTuner(tunerId)) return std::wstring();
    return name.String();
}

// The friendly name is the instance key: Register passes the same text for both.
void UnregisterInstance(IFilterMapper2* mapper, const std::wstring& name) {
    HRESULT hr = mapper->UnregisterFilter(&KSCATEGORY_BDA_RECEIVER_COMPONENT, name.c_str(), CLSID_TavrixTuner);
    if (FAILED(hr)) return;
    mapper->UnregisterFilter(&KSCATEGORY_BDA_NETWORK_TUNER, name.c_str(), CLSID_TavrixTuner);
}

bool UninstallInstances(CDevices& devices) {
    ComPtr<ICreateDevEnum> deviceEnum;
    HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_ALL, IID_ICreateDevEnum,
                                  reinterpret_cast<void**>(deviceEnum.GetAddressOf()));
    if (FAILED(hr)) return false;
    ComPtr<IEnumMoniker> categoryEnum;
    hr = deviceEnum->CreateClassEnumerator(KSCATEGORY_BDA_NETWORK_TUNER, categoryEnum.GetAddressOf(), 0);
    // S_FALSE: the category is empty and no enumerator was made.
    if (hr != S_OK || !categoryEnum) return false;
    ComPtr<IFilterMapper2> mapper;
    hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_ALL, IID_IFilterMapper2,
                          reinterpret_cast<void**>(mapper.GetAddressOf()));
    if (FAILED(hr)) return false;

    // The enumerator walks the category's keys by position: a key removed mid-walk would
    // make it skip the next one. So the walk only collects, and the removal follows it.
    std::vector<std::wstring> unlisted;
    for (;;) {
        ComPtr<IMoniker> moniker;
        if (categoryEnum->Next(1, moniker.GetAddressOf(), nullptr) != S_OK) break;
        std::wstring name = UnlistedInstanceName(devices, moniker.Get());
        if (!name.empty()) unlisted.push_back(name);
    }
    for (const std::wstring& name : unlisted) UnregisterInstance(mapper.Get(), name);
    return true;
}

bool IsListedTunerFolder(CDevices& devices, const char* name) {
    char tunerId[kTunerIdChars];
    // A name without a fitting Id cannot belong to a listed tuner.
    if (!IdAfterPrefix(name, kProductWordChars, tunerId)) return false;
    return devices.HasTuner(tunerId);
}

// Hostile text goes into the log on one line.
void LogRejected(const char* what, const char* name) {
    char shown[kPathChars];
    StringCchCopyA(shown, kPathChars, name);
    for (char* c = shown; *c != '\0'; ++c)
        if (static_cast<unsigned char>(*c) < 0x20) *c = '?';
    LogMessage("DeleteTunerFolders %sBit %s: %s", ExeBitsText(), what, shown);
}

// Deletes what `pattern` finds in `folder` and counts it; false at the first failure.
bool DeleteEntries(CDevices& devices, const CEntry& folder, const char* pattern, int& count);

bool OpenInFolder(CEntry& entry, const CEntry& folder, const char* name, DWORD access, DWORD share) {
    EntryPlace place = entry.Open(folder, name, access, share, OPEN_EXISTING);
    if (place == EntryPlace::kElsewhere) LogRejected("entry is not in its folder", entry.Path());
    return place == EntryPlace::kInFolder;
}

bool DeleteEntry(CDevices& devices, const CEntry& folder, const char* name, bool directory) {
    CEntry entry;
    if (directory) {
        // A tuner folder of an unlisted tuner, held while its entries go: opened for listing and
        // without sharing write or delete access. A link is never entered: its target may be
        // any folder of the machine.
        if (!OpenInFolder(entry, folder, name, FILE_LIST_DIRECTORY, FILE_SHARE_READ)) return false;
        int nested = 0;
        if (entry.IsPlainFolder() && !DeleteEntries(devices, entry, "*.*", nested)) return false;
    }
    // A file, a link itself or an emptied folder (an empty one too: nothing of the tuner is
    // left to keep), through a handle of its own.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    return OpenInFolder(entry, folder, name, DELETE, share) && entry.Delete();
}

bool DeleteEntries(CDevices& devices, const CEntry& folder, const char* pattern, int& count) {
    char search[kPathChars];
    if (FAILED(StringCchPrintfA(search, kPathChars, "%s\\%s", folder.Path(), pattern))) return false;
    WIN32_FIND_DATAA entry;
    CScopedFind find(FindFirstFileA(search, &entry));
    // A folder that cannot be listed is no empty one.
    if (!find.IsValid()) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool link = IsLinkAttributes(entry.dwFileAttributes);
        // Also skips "." and "..".
        if (directory && !link && strncmp(entry.cFileName, kProductWord, kProductWordChars) != 0) continue;
        if (!CanBeFileName(entry.cFileName)) {
            LogRejected("entry name no file can have", entry.cFileName);
            return false;
        }
        if (directory && IsListedTunerFolder(devices, entry.cFileName)) continue;
        if (!DeleteEntry(devices, folder, entry.cFileName, directory)) return false;
        ++count;
    } while (FindNextFileA(find.Get(), &entry));
    return true;
}

}  // namespace

int TunerNameFromFriendlyName(const wchar_t* friendlyName, char* tunerId) {
    if (friendlyName == nullptr) return 0;
    size_t wideChars = wcslen(friendlyName) + 1;
    std::vector<char> narrow(wideChars * 2);
    int converted = WideCharToMultiByte(CP_THREAD_ACP, 0, friendlyName, -1, narrow.data(),
                                        static_cast<int>(narrow.size()), nullptr, nullptr);
    if (converted == 0) return 0;
    if (strncmp(narrow.data(), kInstancePrefix, kInstancePrefixChars) != 0) return 0;
    // Register names a tuner whose stored Id reads empty "ORVA Tavrix ": that instance
    // belongs to the empty Id, or it could never be removed.
    if (strlen(narrow.data()) == kInstancePrefixChars + 1) {
        tunerId[0] = '\0';
        return 1;
    }
    return IdAfterPrefix(narrow.data(), kInstancePrefixChars, tunerId) ? 1 : 0;
}

bool CDevices::Uninstall() {
    try {
        return UninstallInstances(*this);
    } catch (...) {
        return false;
    }
}

bool CDevices::DeleteTunerFolders(const char* folder, const char* pattern) {
    CEntry source;
    if (!source.OpenFolder(folder)) return false;
    int count = 0;
    bool completed = DeleteEntries(*this, source, pattern, count);
    return completed && count > 0;
}

bool CDevices::DeletePvrFolders() {
    if (IsExe64Bit()) return true;
    char folder[kPathChars];
    if (!GetPvrSourcePath(folder, kPathChars)) return false;
    char pattern[kPathChars];
    StringCchPrintfA(pattern, kPathChars, "%s*", kProductWord);
    return DeleteTunerFolders(folder, pattern);
}
