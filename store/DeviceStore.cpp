// The stored device list: "Devices" below the product key, one key per box and tuner.
#include "store/Storage.h"

#include <windows.h>
#include <strsafe.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "app/Log.h"
#include "app/Scoped.h"

namespace {

constexpr const char kDevicesKey[] = "Devices";
constexpr const char kTunersKey[] = "Tuners";
constexpr REGSAM kWriteAccess = KEY_READ | KEY_WRITE;
constexpr DWORD kDeleteNameChars = 256;

using RegDeleteKeyExAFunction = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);

// RegDeleteKeyExA is missing before Vista x64; looked up once per process.
std::atomic<bool> deleteResolved{false};
std::atomic<RegDeleteKeyExAFunction> regDeleteKeyEx{nullptr};

LONG OpenForRead(HKEY parent, const char* name, CScopedKey& key) {
    return RegOpenKeyExA(parent, name, 0, KEY_READ, key.Receive());
}

LONG CreateForWrite(HKEY parent, const char* name, CScopedKey& key) {
    return RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, kWriteAccess, nullptr, key.Receive(),
                           nullptr);
}

// The field takes the text only when the stored data fits it whole with its own
// terminator; anything else (missing, other type, too long, unterminated) reads as "".
template <size_t N>
void ReadString(HKEY key, const char* name, char (&field)[N]) {
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>(N);
    LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(field), &size);
    bool text = status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && size != 0 && size <= N &&
                field[size - 1] == '\0';
    if (!text) memset(field, 0, N);
}

DWORD ReadDword(HKEY key, const char* name) {
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return 0;
    return value;
}

// Stored with the terminator (length + 1 bytes); a field without one is written empty.
template <size_t N>
void WriteString(HKEY key, const char* name, const char (&field)[N]) {
    size_t length = strnlen(field, N);
    const char* text = length < N ? field : "";
    if (length >= N) length = 0;
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(length + 1));
}

// Subkey `index` into a 20-character buffer; false at the end, on a longer name or an empty one.
bool EnumerateRecordKey(HKEY key, DWORD index, char (&name)[kIdChars]) {
    DWORD size = kIdChars;
    if (RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return false;
    return name[0] != '\0';
}

RegDeleteKeyExAFunction ResolveRegDeleteKeyEx() {
    if (!deleteResolved.load(std::memory_order_acquire)) {
        HMODULE advapi = GetModuleHandleA("Advapi32.dll");
        if (advapi != nullptr) {
            FARPROC address = GetProcAddress(advapi, "RegDeleteKeyExA");
            regDeleteKeyEx.store(reinterpret_cast<RegDeleteKeyExAFunction>(reinterpret_cast<void (*)()>(address)),
                                 std::memory_order_relaxed);
        }
        deleteResolved.store(true, std::memory_order_release);
    }
    return regDeleteKeyEx.load(std::memory_order_relaxed);
}

}  // namespace

void CStorage::LoadDevices(DeviceList& devices) {
    CNamedMutexHold hold(kStoreMutexName);
    CScopedKey root;
    if (OpenForRead(HKEY_CURRENT_USER, kProductKey, root) != ERROR_SUCCESS) {
        TraceMessage("Load from CURRENT_USER Registry failed, try DEFAULT_USER!");
        if (OpenForRead(HKEY_USERS, kDefaultUserProductKey, root) != ERROR_SUCCESS) {
            LogMessage("Load from DEFAULT_USER failed!");
            return;
        }
    }
    CScopedKey devicesKey;
    if (OpenForRead(root.Get(), kDevicesKey, devicesKey) != ERROR_SUCCESS) return;
    for (DWORD index = 0;; ++index) {
        DeviceInfo device;
        if (!EnumerateRecordKey(devicesKey.Get(), index, device.Id)) break;
        LoadDevice(devicesKey.Get(), device);
        devices.push_back(device);
    }
}

void CStorage::LoadDevice(HKEY devicesKey, DeviceInfo& device) {
    CScopedKey deviceKey;
    if (OpenForRead(devicesKey, device.Id, deviceKey) != ERROR_SUCCESS) return;
    ReadString(deviceKey.Get(), "Ip", device.Ip);
    ReadString(deviceKey.Get(), "Name", device.Name);
    device.Modified = ReadDword(deviceKey.Get(), "Modified");
    LoadTuners(deviceKey.Get(), device.Tuners);
}

void CStorage::LoadTuners(HKEY deviceKey, TunerList& tuners) {
    CScopedKey tunersKey;
    if (OpenForRead(deviceKey, kTunersKey, tunersKey) != ERROR_SUCCESS) return;
    for (DWORD index = 0;; ++index) {
        char name[kIdChars] = {};
        if (!EnumerateRecordKey(tunersKey.Get(), index, name)) break;
        TunerInfo tuner;
        tuner.Index = atoi(name);
        LoadTuner(tunersKey.Get(), name, tuner);
        tuners.push_back(tuner);
    }
}

void CStorage::LoadTuner(HKEY tunersKey, const char* name, TunerInfo& tuner) {
    CScopedKey tunerKey;
    if (OpenForRead(tunersKey, name, tunerKey) != ERROR_SUCCESS) return;
    ReadString(tunerKey.Get(), "Id", tuner.Id);
    ReadString(tunerKey.Get(), "Model", tuner.Model);
    ReadString(tunerKey.Get(), "Name", tuner.Name);
    ReadString(tunerKey.Get(), "Owner", tuner.Owner);
    tuner.Modified = ReadDword(tunerKey.Get(), "Modified");
}

void CStorage::SaveDevices(const DeviceList& devices) {
    CNamedMutexHold hold(kStoreMutexName);
    CScopedKey root;
    if (CreateForWrite(HKEY_CURRENT_USER, kProductKey, root) != ERROR_SUCCESS) {
        LogMessage("Save to CURRENT_USER Registry access failed!");
        return;
    }
    // Every save replaces the whole tree; a missing tree reports a failure as well.
    if (DeleteKeyTree(root.Get(), kDevicesKey) != ERROR_SUCCESS) LogMessage("Registry access - delete devices failed!");
    if (devices.empty()) return;
    CScopedKey devicesKey;
    if (CreateForWrite(root.Get(), kDevicesKey, devicesKey) != ERROR_SUCCESS) return;
    for (const DeviceInfo& device : devices) SaveDevice(devicesKey.Get(), device);
}

void CStorage::SaveDevice(HKEY devicesKey, const DeviceInfo& device) {
    CScopedKey deviceKey;
    if (CreateForWrite(devicesKey, device.Id, deviceKey) != ERROR_SUCCESS) return;
    WriteString(deviceKey.Get(), "Ip", device.Ip);
    WriteString(deviceKey.Get(), "Name", device.Name);
    SaveTuners(deviceKey.Get(), device.Tuners);
}

void CStorage::SaveTuners(HKEY deviceKey, const TunerList& tuners) {
    CScopedKey tunersKey;
    if (CreateForWrite(deviceKey, kTunersKey, tunersKey) != ERROR_SUCCESS) return;
    for (const TunerInfo& tuner : tuners) SaveTuner(tunersKey.Get(), tuner);
}

void CStorage::SaveTuner(HKEY tunersKey, const TunerInfo& tuner) {
    char name[kIdChars];
    StringCchPrintfA(name, kIdChars, "%d", tuner.Index);
    CScopedKey tunerKey;
    if (CreateForWrite(tunersKey, name, tunerKey) != ERROR_SUCCESS) return;
    WriteString(tunerKey.Get(), "Id", tuner.Id);
    WriteString(tunerKey.Get(), "Model", tuner.Model);
    WriteString(tunerKey.Get(), "Name", tuner.Name);
}

LONG DeleteKeyTree(HKEY parent, const char* name) {
    {
        CScopedKey key;
        LONG status = RegOpenKeyExA(parent, name, 0, kWriteAccess, key.Receive());
        if (status != ERROR_SUCCESS) return status;
        char subkey[kDeleteNameChars];
        for (;;) {
            DWORD size = kDeleteNameChars;
            if (RegEnumKeyExA(key.Get(), 0, subkey, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            status = DeleteKeyTree(key.Get(), subkey);
            if (status != ERROR_SUCCESS) return status;
        }
    }
    return DeleteSubKey(parent, name);
}

LONG DeleteSubKey(HKEY parent, const char* name) {
    RegDeleteKeyExAFunction deleteKeyEx = ResolveRegDeleteKeyEx();
    if (deleteKeyEx != nullptr) return deleteKeyEx(parent, name, 0, 0);
    return RegDeleteKeyA(parent, name);
}
