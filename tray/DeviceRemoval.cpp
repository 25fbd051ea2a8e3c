#include "tray/DeviceRemoval.h"

#include <cstring>

#include "app/Jobs.h"
#include "app/Scoped.h"
#include "devices/Devices.h"
#include "store/Storage.h"

namespace {

bool IsPosition(int position, size_t size) { return position >= 0 && static_cast<size_t>(position) < size; }

bool SameDevice(const DeviceInfo& device, const char* deviceId) {
    return deviceId == nullptr || strcmp(device.Id, deviceId) == 0;
}

bool AbsentTuner(const TunerInfo& tuner, const char* tunerId) {
    return strcmp(tuner.Id, tunerId) == 0 && (tuner.Modified & ModifiedTunerPresent) == 0;
}

// Caller holds Lock; the save takes the store mutex inside.
void SaveList(CDevices& devices) {
    CStorage storage;
    storage.SaveDevices(devices.Devices);
}

// `deviceId` nullptr: whatever box is at the position.
bool EraseDevice(CDevices& devices, int devicePosition, const char* deviceId) {
    CCriticalSectionHold hold(devices.Lock);
    if (!IsPosition(devicePosition, devices.Devices.size())) return false;
    const DeviceInfo& device = devices.Devices[devicePosition];
    if (deviceId != nullptr && (!SameDevice(device, deviceId) || (device.Modified & ModifiedDevicePresent) != 0))
        return false;
    devices.Devices.erase(devices.Devices.begin() + devicePosition);
    SaveList(devices);
    return true;
}

bool EraseTuner(CDevices& devices, int devicePosition, int tunerPosition, const char* deviceId, const char* tunerId) {
    CCriticalSectionHold hold(devices.Lock);
    if (!IsPosition(devicePosition, devices.Devices.size())) return false;
    DeviceInfo& device = devices.Devices[devicePosition];
    if (!IsPosition(tunerPosition, device.Tuners.size())) return false;
    if (!SameDevice(device, deviceId)) return false;
    if (tunerId != nullptr && !AbsentTuner(device.Tuners[tunerPosition], tunerId)) return false;
    device.Tuners.erase(device.Tuners.begin() + tunerPosition);
    SaveList(devices);
    return true;
}

}  // namespace

bool CDevices::RemoveDevice(int devicePosition) {
    if (!EraseDevice(*this, devicePosition, nullptr)) return false;
    UninstallUnlistedAndReinstall(*this);
    return true;
}

bool CDevices::RemoveTuner(int devicePosition, int tunerPosition) {
    if (!EraseTuner(*this, devicePosition, tunerPosition, nullptr, nullptr)) return false;
    UninstallUnlistedAndReinstall(*this);
    return true;
}

bool RemoveAbsentDevice(CDevices& devices, int devicePosition, const char* deviceId) {
    if (!EraseDevice(devices, devicePosition, deviceId)) return false;
    UninstallUnlistedAndReinstall(devices);
    return true;
}

bool RemoveAbsentTuner(CDevices& devices, int devicePosition, int tunerPosition, const char* deviceId,
                       const char* tunerId) {
    if (!EraseTuner(devices, devicePosition, tunerPosition, deviceId, tunerId)) return false;
    UninstallUnlistedAndReinstall(devices);
    return true;
}
