#include "devices/Devices.h"

#include <cstring>

#include "app/Scoped.h"
#include "devices/Merge.h"

namespace {

bool IsPosition(int position, size_t size) { return position >= 0 && static_cast<size_t>(position) < size; }

}  // namespace

DWORD CDevices::MergeDevices(const DeviceList& found) {
    DWORD result = 0;
    for (const DeviceInfo& device : found) {
        int position = FindDevice(Devices, device.Id);
        if (position < 0) {
            result |= device.Modified;
            Devices.push_back(device);
        } else {
            result |= MergeDevice(Devices[position], device);
        }
    }
    return result;
}

void CDevices::ClearDevices() { Devices.clear(); }

bool CDevices::HasPresentTuner() {
    CCriticalSectionHold hold(Lock);
    for (const DeviceInfo& device : Devices) {
        if ((device.Modified & ModifiedDevicePresent) == 0) continue;
        for (const TunerInfo& tuner : device.Tuners)
            if (tuner.Modified & ModifiedTunerPresent) return true;
    }
    return false;
}

bool CDevices::HasTuner(const char* tunerId) {
    CCriticalSectionHold hold(Lock);
    for (const DeviceInfo& device : Devices)
        for (const TunerInfo& tuner : device.Tuners)
            if (strcmp(tuner.Id, tunerId) == 0) return true;
    return false;
}

bool CDevices::GetDevice(int position, DeviceInfo& device) {
    CCriticalSectionHold hold(Lock);
    if (!IsPosition(position, Devices.size())) return false;
    device = Devices[position];
    return true;
}

int CDevices::DeviceCount() {
    CCriticalSectionHold hold(Lock);
    return static_cast<int>(Devices.size());
}

int CDevices::TunerCount(int devicePosition) {
    CCriticalSectionHold hold(Lock);
    if (!IsPosition(devicePosition, Devices.size())) return -1;
    return static_cast<int>(Devices[devicePosition].Tuners.size());
}

bool CDevices::GetTuner(int devicePosition, int tunerPosition, TunerInfo& tuner) {
    CCriticalSectionHold hold(Lock);
    if (!IsPosition(devicePosition, Devices.size())) return false;
    const TunerList& tuners = Devices[devicePosition].Tuners;
    if (!IsPosition(tunerPosition, tuners.size())) return false;
    tuner = tuners[tunerPosition];
    return true;
}
