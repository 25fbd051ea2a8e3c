// The Flags value of the product key and the store object's applicable bits.
#include "store/Storage.h"

#include <windows.h>

#include "app/Log.h"
#include "app/Paths.h"
#include "app/Privileges.h"
#include "app/Scoped.h"

namespace {

constexpr const char kFlagsValue[] = "Flags";
// Bits that only an elevated 32-bit copy completes: its filters and the PVR files.
constexpr DWORD kPendingElevated32Bits = FLAG_PENDING_FILTERS32 | FLAG_PENDING_PVR;

// True and the value when `path` under `root` opens and holds "Flags" as a 4-byte REG_DWORD.
bool ReadFlagsFrom(HKEY root, const char* path, DWORD& value) {
    CScopedKey key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return false;
    DWORD data = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(data);
    if (RegQueryValueExA(key.Get(), kFlagsValue, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return false;
    value = data;
    return true;
}

DWORD ReadFlagsLocked() {
    CNamedMutexHold hold(kStoreMutexName);
    return StorageFlagsRead();
}

void LogFlagsLine(const char* format, DWORD pending) {
    LogMessage(format, IsSystem64Bit() ? 64 : 32, IsExe64Bit() ? 64 : 32, IsAdmin() ? "yes" : "no", pending);
}

}  // namespace

DWORD ComputeApplicableFlags() {
    DWORD flags = FLAG_PENDING_FILTERS32 | FLAG_FORCE_UAC;
    char pvrFolder[kPathChars];
    if (GetPvrSourcePath(pvrFolder, kPathChars)) flags |= FLAG_PENDING_PVR;
    if (IsSystem64Bit()) flags |= FLAG_PENDING_FILTERS64;
    return flags;
}

CStorage::CStorage() : applicableFlags(ComputeApplicableFlags()) {}

DWORD StorageFlagsRead() {
    DWORD value = 0;
    if (ReadFlagsFrom(HKEY_CURRENT_USER, kProductKey, value)) return value;
    if (ReadFlagsFrom(HKEY_USERS, kDefaultUserProductKey, value)) return value;
    return 0;
}

HRESULT StorageFlagsWrite(DWORD value) {
    CScopedKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kProductKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                        nullptr, key.Receive(), nullptr) != ERROR_SUCCESS) {
        LogMessage("Save to CURRENT_USER Registry access failed!");
        return E_FAIL;
    }
    RegSetValueExA(key.Get(), kFlagsValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    return S_OK;
}

void StorageFlagsUpdate(DWORD clear, DWORD set) {
    CNamedMutexHold hold(kStoreMutexName);
    StorageFlagsWrite((StorageFlagsRead() & ~clear) | set);
}

void StorageFlagsHandle() {
    // Only the 32-bit program elevates for the work of both bitnesses.
    if (IsExe64Bit()) return;
    DWORD applicable = ComputeApplicableFlags();
    DWORD pending = ReadFlagsLocked() & applicable;
    if (IsAdmin()) {
        StorageFlagsUpdate(FLAG_FORCE_UAC, 0);
        LogFlagsLine("StorageFlagsHandle reset UAC. System:%dBit  Exe:%dBit  IsAdmin:%s Flags:0x%08x\n", pending);
    } else if ((pending & kPendingElevated32Bits) != 0) {
        StorageFlagsUpdate(0, FLAG_FORCE_UAC);
        LogFlagsLine("StorageFlagsHandle force UAC. System:%dBit  Exe:%dBit  IsAdmin:%s Flags:0x%08x\n", pending);
    }
}

void StorageFlagsForceInstall() {
    if (IsExe64Bit() || IsAdmin()) return;
    CStorage storage;
    DWORD pending = ReadFlagsLocked() & storage.applicableFlags;
    if ((pending & FLAG_PENDING_INSTALL) == 0) return;
    StorageFlagsUpdate(0, FLAG_FORCE_UAC);
    LogFlagsLine("StorageFlagsForceInstall force UAC. System:%dBit  Exe:%dBit  IsAdmin:%s Flags:0x%08x\n", pending);
}
