// Records, the PVR source folder and the registry for the in-process tests.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/TestHooks.h"
#include "devices/Devices.h"
#include "store/Storage.h"

namespace fs = std::filesystem;

inline TunerInfo Tuner(const std::string& boxId, int index, const char* model, const char* name = "DVB-T") {
    TunerInfo tuner;
    tuner.Index = index;
    strcpy_s(tuner.Id, (boxId + "-" + std::to_string(index)).c_str());
    strcpy_s(tuner.Model, model);
    strcpy_s(tuner.Name, name);
    return tuner;
}

inline DeviceInfo Box(const std::string& id, const char* name, const TunerList& tuners) {
    DeviceInfo box;
    strcpy_s(box.Id, id.c_str());
    strcpy_s(box.Ip, "192.0.2.10");
    strcpy_s(box.Name, name);
    box.Tuners = tuners;
    return box;
}

// The PVR source folder as the program builds it in this process.
inline fs::path PvrFolder() {
    char common[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common);
    return fs::path(common) / "ORVA Systems" / "PVR" / "Supported3" / "Sources";
}

inline std::string ReadBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Sorted names in a folder.
inline std::vector<std::string> Entries(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline DWORD ReadFlags() {
    DWORD value = 0, size = sizeof(value);
    return RegGetValueA(HKEY_CURRENT_USER, kProductKey, "Flags", RRF_RT_REG_DWORD, nullptr, &value, &size) == 0 ? value
                                                                                                              : 0xDEAD;
}

inline void WriteFlags(DWORD value) {
    RegSetKeyValueA(HKEY_CURRENT_USER, kProductKey, "Flags", REG_DWORD, &value, sizeof(value));
}

// The list of the 32-bit program with its Lock and a fresh PVR source folder, or none; the
// filter instances it registers and Flags go with it.
class CList32 {
public:
    explicit CList32(bool pvrFolder = true) : lifetime_(devices) {
        TestHooks::SetExeBitness(0);
        fs::remove_all(PvrFolder());
        if (pvrFolder) fs::create_directories(PvrFolder());
    }
    ~CList32() {
        TestHooks::SetExeBitness(-1);
        TestHooks::SetAdmin(-1);
        fs::remove_all(PvrFolder());
        RegDeleteKeyValueA(HKEY_CURRENT_USER, kProductKey, "Flags");
        devices.Devices.clear();
        devices.Uninstall();
    }
    CDevices devices;

private:
    CDevicesLockLifetime lifetime_;
};
