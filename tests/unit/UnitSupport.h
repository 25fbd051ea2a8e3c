// Records, the PVR source folder, its files and Flags for the in-process tests.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <set>

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

inline DeviceInfo Box(const std::string& id, const std::string& name, const TunerList& tuners) {
    DeviceInfo box;
    strcpy_s(box.Id, id.c_str());
    strcpy_s(box.Name, name.c_str());
    box.Tuners = tuners;
    return box;
}

// The PVR source folder as the program builds it in this process.
inline fs::path PvrFolder() {
    char common[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common);
    return fs::path(common) / "ORVA Systems\\PVR\\Supported3\\Sources";
}

inline std::string ReadBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

inline DWORD ReadFlags() {
    DWORD value = 0xDEAD, size = sizeof(value);
    RegGetValueA(HKEY_CURRENT_USER, kProductKey, "Flags", RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

inline std::set<std::string> Entries(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

// The 32-bit program's list and a fresh PVR source folder (or none); both, Flags and filters go after.
struct CList32 {
    explicit CList32(bool pvrFolder = true) {
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
    CDevicesLockLifetime lifetime_{devices};
};
