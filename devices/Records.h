// Box and tuner records with their change and presence bits.
#pragma once

#include <windows.h>

#include <vector>

constexpr size_t kIdChars = 20;
constexpr size_t kNameChars = 80;

// Modified bits of a DeviceInfo.
constexpr DWORD ModifiedNewDevice = 0xFF;
constexpr DWORD ModifiedIp = 0x02;
constexpr DWORD ModifiedDeviceName = 0x04;
constexpr DWORD ModifiedDevicePresent = 0x80;
// Modified bits of a TunerInfo.
constexpr DWORD ModifiedNewTuner = 0xFF00;
constexpr DWORD ModifiedTunerId = 0x200;
constexpr DWORD ModifiedModel = 0x400;
constexpr DWORD ModifiedTunerName = 0x800;
constexpr DWORD ModifiedOwner = 0x1000;
constexpr DWORD ModifiedTunerPresent = 0x8000;
// Bits of a merge result that call for an installation.
constexpr DWORD ModifiedNeedsInstall = 0xE05;

struct TunerInfo {
    DWORD Modified = 0;
    int Index = 0;
    char Id[kIdChars] = {};
    char Model[kIdChars] = {};
    char Name[kNameChars] = {};
    char Owner[kNameChars] = {};
};

using TunerList = std::vector<TunerInfo>;

struct DeviceInfo {
    DWORD Modified = 0;
    char Id[kIdChars] = {};
    char Ip[kIdChars] = {};
    char Name[kNameChars] = {};
    TunerList Tuners;
};

using DeviceList = std::vector<DeviceInfo>;
