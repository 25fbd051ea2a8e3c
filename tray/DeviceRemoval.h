// Deleting a box or tuner chosen in the menu. The menu's positions may be stale by the
// time the command runs: these act only when the record at the position is still the
// one the user chose and is still absent, checked under the same hold of Lock as the erase.
#pragma once

class CDevices;

bool RemoveAbsentDevice(CDevices& devices, int devicePosition, const char* deviceId);
bool RemoveAbsentTuner(CDevices& devices, int devicePosition, int tunerPosition, const char* deviceId,
                       const char* tunerId);
