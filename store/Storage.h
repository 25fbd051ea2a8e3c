// The product key of the current user: the Flags value and the stored device list.
#pragma once

#include <windows.h>

#include "devices/Records.h"

constexpr DWORD FLAG_PENDING_FILTERS32 = 0x01;
constexpr DWORD FLAG_PENDING_FILTERS64 = 0x02;
constexpr DWORD FLAG_PENDING_PVR = 0x04;
constexpr DWORD FLAG_FORCE_UAC = 0x10;
// The work discovery marks pending when it finds a change that calls for an install.
constexpr DWORD FLAG_PENDING_INSTALL = FLAG_PENDING_FILTERS32 | FLAG_PENDING_FILTERS64 | FLAG_PENDING_PVR;

constexpr const char kStoreMutexName[] = "GlobalZentrovaLock";
constexpr const char kProductKey[] = "SOFTWARE\\ORVA Systems\\Zentrova";
constexpr const char kDefaultUserProductKey[] = ".DEFAULT\\SOFTWARE\\ORVA Systems\\Zentrova";

// The bits of Flags that apply on this machine: 0x11, plus 0x04 with a PVR source
// folder, plus 0x02 on a 64-bit system.
DWORD ComputeApplicableFlags();

class CStorage {
public:
    CStorage();

    DWORD applicableFlags;

    // Appends the stored boxes with their tuners; does not clear `devices`.
    void LoadDevices(DeviceList& devices);
    // Replaces the stored list by `devices`.
    void SaveDevices(const DeviceList& devices);

private:
    void LoadDevice(HKEY devicesKey, DeviceInfo& device);
    void LoadTuners(HKEY deviceKey, TunerList& tuners);
    void LoadTuner(HKEY tunersKey, const char* name, TunerInfo& tuner);
    void SaveDevice(HKEY devicesKey, const DeviceInfo& device);
    void SaveTuners(HKEY deviceKey, const TunerList& tuners);
    void SaveTuner(HKEY tunersKey, const TunerInfo& tuner);
};

// Flags: callers of Read/Write hold the store mutex (CNamedMutexHold(kStoreMutexName)).
DWORD StorageFlagsRead();
HRESULT StorageFlagsWrite(DWORD value);
// Read-modify-write under the store mutex: clears `clear`, then sets `set`.
void StorageFlagsUpdate(DWORD clear, DWORD set);
void StorageFlagsHandle();
void StorageFlagsForceInstall();

LONG DeleteKeyTree(HKEY parent, const char* name);
LONG DeleteSubKey(HKEY parent, const char* name);
