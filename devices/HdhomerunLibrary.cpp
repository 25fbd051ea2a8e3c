// The library is loaded by its full path: the loader then searches no folder for it, and
// LOAD_WITH_ALTERED_SEARCH_PATH (Vista, no update needed) looks for the library's own
// imports, all system libraries, from its folder on.
#include "devices/HdhomerunLibrary.h"

#include <strsafe.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "app/Log.h"

namespace {

constexpr const char kOperation[] = "CDevices::UpdateDevices";
constexpr const char kLibraryName[] = "libhdhomerun.dll";

}  // namespace

const CHdhomerunLibrary* CHdhomerunLibrary::Shared() {
    // Discovery runs on one thread at a time; the guard keeps that an assumption no caller
    // has to know.
    static std::mutex guard;
    static const CHdhomerunLibrary* library = nullptr;
    std::lock_guard<std::mutex> hold(guard);
    if (library == nullptr) {
        std::unique_ptr<CHdhomerunLibrary> attempt(new CHdhomerunLibrary());
        if (attempt->Load() && attempt->ResolveAll()) library = attempt.release();
    }
    return library;
}

bool CHdhomerunLibrary::ResolveAll() {
    if (Resolve("hdhomerun_discover_create", DiscoverCreate) &&
        Resolve("hdhomerun_discover_destroy", DiscoverDestroy) &&
        Resolve("hdhomerun_discover_find_devices_v2", DiscoverFindDevices) &&
        Resolve("hdhomerun_device_create_from_str", DeviceCreateFromStr) &&
        Resolve("hdhomerun_device_destroy", DeviceDestroy) && Resolve("hdhomerun_device_set_tuner", DeviceSetTuner) &&
        Resolve("hdhomerun_device_get_var", DeviceGetVar))
        return true;
    // A library without our functions is let go: the next search looks at the folder again.
    FreeLibrary(module_);
    return false;
}

bool CHdhomerunLibrary::Load() {
    // A cut module path (the call fills the whole buffer) would name another file.
    DWORD length = GetModuleFileNameA(nullptr, path_, kPathChars);
    char* name = length > 0 && length < kPathChars ? strrchr(path_, '\\') : nullptr;
    if (name == nullptr) {
        LogMessage("%s: no folder of the program for %s", kOperation, kLibraryName);
        return false;
    }
    name[1] = '\0';
    if (FAILED(StringCchCatA(path_, kPathChars, kLibraryName))) {
        LogMessage("%s: the path of %s is too long", kOperation, kLibraryName);
        return false;
    }
    // A library that is no image for this processor must not bring up the system's box.
    const UINT errorMode = GetErrorMode();
    SetErrorMode(errorMode | SEM_FAILCRITICALERRORS);
    module_ = LoadLibraryExA(path_, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = GetLastError();
    SetErrorMode(errorMode);
    if (module_ == nullptr) {
        LogMessage("%s: cannot load %s (error %lu); no search", kOperation, path_, error);
        return false;
    }
    return true;
}

template <typename Function>
bool CHdhomerunLibrary::Resolve(const char* name, Function& function) {
    FARPROC address = GetProcAddress(module_, name);
    if (address == nullptr) {
        LogMessage("%s: %s has no function %s; no search", kOperation, path_, name);
        return false;
    }
    // Through the generic function type, which the compiler takes as meant.
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    return true;
}
