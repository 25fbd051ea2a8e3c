// Helpers for the installation tests: registered instances, test folders and files.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/Paths.h"
#include "devices/Devices.h"
#include "install/InstallShared.h"

namespace InstallSupport {

inline std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

inline std::wstring InstanceRoot(const GUID& category) { return L"CLSID\\" + GuidText(category) + L"\\Instance"; }

inline std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Names of the instance keys of a category, exactly as the registry holds them.
inline std::vector<std::wstring> InstanceKeys(const GUID& category) {
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, InstanceRoot(category).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD chars = 256;
        if (RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, chars);
    }
    RegCloseKey(key);
    return names;
}

struct Instance {
    bool exists = false;
    DWORD friendlyNameType = 0;
    std::wstring friendlyName;  // with nothing cut: the stored bytes up to the terminator
    std::wstring clsid;
    DWORD filterDataType = 0;
    std::vector<BYTE> filterData;
};

inline bool QueryValue(HKEY key, const wchar_t* name, DWORD& type, std::vector<BYTE>& data) {
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    data.assign(size, 0);
    return RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS;
}

inline std::wstring WideValue(const std::vector<BYTE>& data) {
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    if (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

inline Instance ReadInstance(const GUID& category, const std::wstring& name) {
    Instance instance;
    HKEY key = nullptr;
    std::wstring path = InstanceRoot(category) + L"\\" + name;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return instance;
    instance.exists = true;
    std::vector<BYTE> data;
    DWORD type = 0;
    if (QueryValue(key, L"FriendlyName", instance.friendlyNameType, data)) instance.friendlyName = WideValue(data);
    if (QueryValue(key, L"CLSID", type, data)) instance.clsid = WideValue(data);
    QueryValue(key, L"FilterData", instance.filterDataType, instance.filterData);
    RegCloseKey(key);
    return instance;
}

// The stored filter data: version, merit, pin count and an unused word, then the pins.
struct FilterData {
    bool valid = false;
    DWORD version = 0;
    DWORD merit = 0;
    DWORD pins = 0;
    size_t size = 0;
};

inline FilterData DecodeFilterData(const std::vector<BYTE>& data) {
    FilterData decoded;
    decoded.size = data.size();
    if (data.size() < 16) return decoded;
    DWORD words[4];
    memcpy(words, data.data(), sizeof(words));
    decoded.valid = true;
    decoded.version = words[0];
    decoded.merit = words[1];
    decoded.pins = words[2];
    return decoded;
}

inline const GUID& Receiver() { return KSCATEGORY_BDA_RECEIVER_COMPONENT; }
inline const GUID& NetworkTuner() { return KSCATEGORY_BDA_NETWORK_TUNER; }

inline bool IsRegistered(const GUID& category, const std::string& instance) {
    return ReadInstance(category, Wide(instance)).exists;
}

// Registers an instance directly with Wine's filter mapper, as another product would.
inline HRESULT RegisterDirectly(const GUID& category, const std::wstring& name, const CLSID& filter) {
    IFilterMapper2* mapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  reinterpret_cast<void**>(&mapper));
    if (FAILED(hr)) return hr;
    REGFILTER2 data = {};
    data.dwVersion = 1;
    data.dwMerit = MERIT_DO_NOT_USE;
    hr = mapper->RegisterFilter(filter, name.c_str(), nullptr, &category, name.c_str(), &data);
    mapper->Release();
    return hr;
}

// Removes every instance key of both categories: each test starts from none.
inline void ClearInstances() {
    for (const GUID* category : {&Receiver(), &NetworkTuner()})
        RegDeleteTreeW(HKEY_CLASSES_ROOT, InstanceRoot(*category).c_str());
}

inline TunerInfo MakeTuner(const char* id, int index, const char* model, const char* name = "DVB-T") {
    TunerInfo tuner;
    tuner.Index = index;
    strcpy_s(tuner.Id, sizeof(tuner.Id), id);
    strcpy_s(tuner.Model, sizeof(tuner.Model), model);
    strcpy_s(tuner.Name, sizeof(tuner.Name), name);
    return tuner;
}

inline DeviceInfo MakeDevice(const char* id, const char* name, const std::vector<TunerInfo>& tuners) {
    DeviceInfo device;
    strcpy_s(device.Id, sizeof(device.Id), id);
    strcpy_s(device.Ip, sizeof(device.Ip), "192.0.2.10");
    strcpy_s(device.Name, sizeof(device.Name), name);
    device.Tuners = tuners;
    return device;
}

// A box with `count` tuners named <id>-0, <id>-1, ... of model "2040:5200:ofdm".
inline DeviceInfo MakeBox(const std::string& id, int count, const char* name = "B") {
    std::vector<TunerInfo> tuners;
    for (int i = 0; i < count; ++i)
        tuners.push_back(MakeTuner((id + "-" + std::to_string(i)).c_str(), i, "2040:5200:ofdm"));
    return MakeDevice(id.c_str(), name, tuners);
}

// The PVR source folder as the program computes it.
inline std::string PvrFolderPath() {
    char common[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common);
    return std::string(common) + "\\ORVA Systems\\PVR\\Supported3\\Sources";
}

inline void CreatePvrFolder() { std::filesystem::create_directories(PvrFolderPath()); }

inline void RemovePvrFolder() {
    std::error_code error;
    std::filesystem::remove_all(PvrFolderPath(), error);
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
}

inline bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Sorted names in a folder, "." and ".." left out.
inline std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A CDevices with its Lock, as the entry owns it.
class CTestDevices {
public:
    CTestDevices() : lifetime_(devices) {}
    CDevices devices;

private:
    CDevicesLockLifetime lifetime_;
};

}  // namespace InstallSupport
