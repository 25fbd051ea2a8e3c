#include "tray/Autostart.h"

#include <windows.h>

#include <cstring>

#include "app/Paths.h"
#include "app/Scoped.h"

namespace {

constexpr const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

const char* FileNamePart(const char* path) {
    const char* slash = strrchr(path, '\\');
    return slash != nullptr ? slash + 1 : path;
}

// Any well-formed string value counts as on; its data is not compared with our path.
bool IsEntryOn(HKEY key, const char* name) {
    BYTE data[kPathChars];
    DWORD size = sizeof(data);
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    return size == 0 || data[size - 1] == '\0';
}

}  // namespace

bool UpdateAutostart(bool toggle) {
    char path[kPathChars] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, kPathChars);
    if (length >= kPathChars) path[kPathChars - 1] = '\0';
    const char* name = FileNamePart(path);

    CScopedKey key;
    bool opened = RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ | KEY_WRITE, key.Receive()) == ERROR_SUCCESS;
    bool on = opened && IsEntryOn(key.Get(), name);
    if (!toggle) return on;
    if (opened) {
        if (on)
            RegDeleteValueA(key.Get(), name);
        else
            RegSetValueExA(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                           static_cast<DWORD>(strlen(path) + 1));
    }
    return !on;
}
