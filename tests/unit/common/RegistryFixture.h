// Helpers for tests that read and write the program's registry state.
#pragma once

#include <windows.h>

#include <string>

namespace TestRegistry {

// Deletes HKCU and HKU\.DEFAULT "SOFTWARE\ORVA Systems" with everything below.
inline void ClearProductKeys() {
    RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\ORVA Systems");
    RegDeleteTreeA(HKEY_USERS, ".DEFAULT\\SOFTWARE\\ORVA Systems");
}

inline bool KeyExists(HKEY root, const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

inline void SetRaw(HKEY root, const char* path, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

inline void SetDword(HKEY root, const char* path, const char* name, DWORD value) {
    SetRaw(root, path, name, REG_DWORD, &value, sizeof(value));
}

inline void SetString(HKEY root, const char* path, const char* name, const std::string& value, DWORD type = REG_SZ) {
    SetRaw(root, path, name, type, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

// Raw value: type and bytes; false when missing.
inline bool Query(HKEY root, const char* path, const char* name, DWORD& type, std::string& data) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        data.assign(size, '\0');
        status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size);
        data.resize(size);
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

}  // namespace TestRegistry
