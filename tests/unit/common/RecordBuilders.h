// Box and tuner records for tests, filled as discovery or the store would fill them.
#pragma once

#include <windows.h>
#include <strsafe.h>

#include <string>

#include "devices/Records.h"

template <size_t N>
void SetText(char (&field)[N], const std::string& text) {
    StringCchCopyA(field, N, text.c_str());
}

inline TunerInfo MakeTuner(const char* boxId, int index, const std::string& model, const std::string& name,
                           const std::string& owner = "", DWORD modified = 0) {
    TunerInfo tuner;
    tuner.Modified = modified;
    tuner.Index = index;
    StringCchPrintfA(tuner.Id, kIdChars, "%s-%d", boxId, index);
    SetText(tuner.Model, model);
    SetText(tuner.Name, name);
    SetText(tuner.Owner, owner);
    return tuner;
}

inline DeviceInfo MakeDevice(const std::string& id, const std::string& ip, const std::string& name,
                             DWORD modified = 0) {
    DeviceInfo device;
    device.Modified = modified;
    SetText(device.Id, id);
    SetText(device.Ip, ip);
    SetText(device.Name, name);
    return device;
}
