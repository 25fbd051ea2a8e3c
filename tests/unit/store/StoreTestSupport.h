// Shared set-up for the store tests: clean product keys, known test seams, the
// PVR source folder on demand, and small record builders.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <strsafe.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app/TestHooks.h"
#include "common/RegistryFixture.h"
#include "common/RecordBuilders.h"
#include "devices/Records.h"
#include "store/Storage.h"

namespace StoreTest {

constexpr const char kPvrFolder[] = "C:\\Program Files\\Common Files\\ORVA Systems\\PVR\\Supported3\\Sources";
constexpr const char kRoot[] = "SOFTWARE\\ORVA Systems\\Zentrova";
constexpr const char kDevices[] = "SOFTWARE\\ORVA Systems\\Zentrova\\Devices";
constexpr const char kDefaultRoot[] = ".DEFAULT\\SOFTWARE\\ORVA Systems\\Zentrova";
constexpr const char kDefaultDevices[] = ".DEFAULT\\SOFTWARE\\ORVA Systems\\Zentrova\\Devices";

inline void CreatePvrFolder() {
    SHCreateDirectoryExA(nullptr, kPvrFolder, nullptr);
    TestHooks::ResetFolders();
}

inline void DeletePvrFolder() {
    RemoveDirectoryA(kPvrFolder);
    TestHooks::ResetFolders();
}

inline bool PvrFolderExists() { return GetFileAttributesA(kPvrFolder) != INVALID_FILE_ATTRIBUTES; }

inline void ResetHooks() {
    TestHooks::SetExeBitness(-1);
    TestHooks::SetSystemBitness(-1);
    TestHooks::SetAdmin(-1);
    TestHooks::ResetFolders();
}

// Every test starts and ends with no product keys, no PVR folder and real answers.
class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override {
        TestRegistry::ClearProductKeys();
        DeletePvrFolder();
        ResetHooks();
    }
    void TearDown() override {
        TestRegistry::ClearProductKeys();
        DeletePvrFolder();
        ResetHooks();
    }
};

// Subkey names of a key, in enumeration order (names up to 255 characters).
inline std::vector<std::string> SubkeyNames(HKEY root, const std::string& path) {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD size = sizeof(name);
        if (RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, size);
    }
    RegCloseKey(key);
    return names;
}

// Value names of a key, sorted.
inline std::set<std::string> ValueNames(HKEY root, const std::string& path) {
    std::set<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD size = sizeof(name);
        if (RegEnumValueA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace(name, size);
    }
    RegCloseKey(key);
    return names;
}

inline bool QueryDword(HKEY root, const std::string& path, const char* name, DWORD& value) {
    DWORD type = 0;
    std::string data;
    if (!TestRegistry::Query(root, path.c_str(), name, type, data)) return false;
    if (type != REG_DWORD || data.size() != sizeof(DWORD)) return false;
    memcpy(&value, data.data(), sizeof(DWORD));
    return true;
}

// A volatile "ORVA Systems" key: the product key, which is created non-volatile,
// cannot be created below it (ERROR_CHILD_MUST_BE_VOLATILE).
inline void MakeProductKeyUncreatable() {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\ORVA Systems", 0, nullptr,
                                             REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
    HKEY child = nullptr;
    ASSERT_NE(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kRoot, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &child, nullptr));
}

// Log lines without the PVR folder probe, which reports a missing folder on its own.
inline std::vector<std::string> WithoutPvrProbe(const std::vector<std::string>& lines) {
    std::vector<std::string> kept;
    for (const std::string& line : lines)
        if (line.rfind("GetPvrSourcePath ", 0) != 0) kept.push_back(line);
    return kept;
}

}  // namespace StoreTest
