#include "devices/Merge.h"

#include <strsafe.h>

#include <cstring>

namespace {

// Copies `found` into `listed` and reports `bit` when they differ; fields of equal size.
template <size_t N>
DWORD ReplaceIfDifferent(char (&listed)[N], const char (&found)[N], DWORD bit) {
    if (strcmp(listed, found) == 0) return 0;
    StringCchCopyA(listed, N, found);
    return bit;
}

// A host name found earlier survives a search that could only offer the address.
bool KeepsListedHostName(const DeviceInfo& listed, const DeviceInfo& found) {
    return listed.Name[0] != '\0' && strstr(listed.Name, listed.Ip) == nullptr && strstr(found.Name, found.Ip) != nullptr;
}

}  // namespace

int FindDevice(const DeviceList& list, const char* id) {
    for (size_t i = 0; i < list.size(); ++i)
        if (strcmp(list[i].Id, id) == 0) return static_cast<int>(i);
    return -1;
}

int FindTuner(const TunerList& tuners, int index) {
    for (size_t i = 0; i < tuners.size(); ++i)
        if (tuners[i].Index == index) return static_cast<int>(i);
    return -1;
}

DWORD MergeTuner(TunerInfo& listed, const TunerInfo& found) {
    listed.Modified |= ModifiedTunerPresent;
    listed.Modified |= ReplaceIfDifferent(listed.Id, found.Id, ModifiedTunerId);
    listed.Modified |= ReplaceIfDifferent(listed.Model, found.Model, ModifiedModel);
    listed.Modified |= ReplaceIfDifferent(listed.Name, found.Name, ModifiedTunerName);
    listed.Modified |= ReplaceIfDifferent(listed.Owner, found.Owner, ModifiedOwner);
    return listed.Modified;
}

DWORD MergeTuners(TunerList& listed, const TunerList& found) {
    DWORD result = 0;
    for (const TunerInfo& tuner : found) {
        int position = FindTuner(listed, tuner.Index);
        if (position < 0) {
            result |= ModifiedNewTuner;
            listed.push_back(tuner);
        } else {
            result |= MergeTuner(listed[position], tuner);
        }
    }
    return result;
}

DWORD MergeDevice(DeviceInfo& listed, const DeviceInfo& found) {
    listed.Modified |= ModifiedDevicePresent;
    listed.Modified |= ReplaceIfDifferent(listed.Ip, found.Ip, ModifiedIp);
    if (strcmp(listed.Name, found.Name) != 0 && !KeepsListedHostName(listed, found))
        listed.Modified |= ReplaceIfDifferent(listed.Name, found.Name, ModifiedDeviceName);
    return MergeTuners(listed.Tuners, found.Tuners) | listed.Modified;
}
