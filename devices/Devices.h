// The process's one list of boxes and tuners, guarded by Lock.
#pragma once

#include <windows.h>

#include "devices/Records.h"

class CDevices {
public:
    DeviceList Devices;
    CRITICAL_SECTION Lock;

    // --- records (devices/Devices.cpp); the caller of MergeDevices/ClearDevices holds Lock.
    DWORD MergeDevices(const DeviceList& found);
    void ClearDevices();
    bool HasPresentTuner();
    bool HasTuner(const char* tunerId);
    // Copies the box at `position` under Lock; false when the position is outside the list.
    bool GetDevice(int position, DeviceInfo& device);
    // Positional reads for the menu, each under its own hold of Lock.
    int DeviceCount();
    int TunerCount(int devicePosition);  // -1 when the box is no longer listed
    bool GetTuner(int devicePosition, int tunerPosition, TunerInfo& tuner);

    // --- discovery (devices/Discovery.cpp): returns the change mask.
    DWORD UpdateDevices(bool detect);

    // --- installation (install/)
    bool Install();
    bool Register(const TunerInfo& tuner);
    bool PvrFiles(const DeviceInfo& device, const TunerInfo& tuner);
    bool Uninstall();
    bool DeletePvrFolders();
    bool DeleteTunerFolders(const char* folder, const char* pattern);

    // --- tray deletions (tray/): false when the position is no longer listed.
    bool RemoveDevice(int devicePosition);
    bool RemoveTuner(int devicePosition, int tunerPosition);
};

// Initialises Lock for the life of a CDevices owned by the entry (or a test).
class CDevicesLockLifetime {
public:
    explicit CDevicesLockLifetime(CDevices& devices) : devices_(devices) { InitializeCriticalSection(&devices_.Lock); }
    ~CDevicesLockLifetime() { DeleteCriticalSection(&devices_.Lock); }
    CDevicesLockLifetime(const CDevicesLockLifetime&) = delete;
    CDevicesLockLifetime& operator=(const CDevicesLockLifetime&) = delete;

private:
    CDevices& devices_;
};
