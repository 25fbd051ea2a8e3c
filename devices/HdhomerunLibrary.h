// libhdhomerun.dll from the program's own folder, and the functions discovery calls. An
// elevated copy must never take a library that PATH or the current folder offers.
#pragma once

#include "hdhomerun.h"  // brings winsock2.h before windows.h

#include "app/Paths.h"

class CHdhomerunLibrary {
public:
    // The library beside the running executable, loaded once for the process: a tray
    // searching every few seconds does not reload it. Null, with one log line, while it or
    // one of its functions is missing; the next call tries again, so a tray started before
    // the library was put in place finds it at its next search. Never unloaded, since a
    // search may still run while the process ends.
    static const CHdhomerunLibrary* Shared();
    CHdhomerunLibrary(const CHdhomerunLibrary&) = delete;
    CHdhomerunLibrary& operator=(const CHdhomerunLibrary&) = delete;

    decltype(&hdhomerun_discover_create) DiscoverCreate = nullptr;
    decltype(&hdhomerun_discover_destroy) DiscoverDestroy = nullptr;
    decltype(&hdhomerun_discover_find_devices_v2) DiscoverFindDevices = nullptr;
    decltype(&hdhomerun_device_create_from_str) DeviceCreateFromStr = nullptr;
    decltype(&hdhomerun_device_destroy) DeviceDestroy = nullptr;
    decltype(&hdhomerun_device_set_tuner) DeviceSetTuner = nullptr;
    decltype(&hdhomerun_device_get_var) DeviceGetVar = nullptr;

private:
    CHdhomerunLibrary() = default;
    bool Load();
    bool ResolveAll();
    template <typename Function>
    bool Resolve(const char* name, Function& function);

    HMODULE module_ = nullptr;
    char path_[kPathChars] = {};
};
