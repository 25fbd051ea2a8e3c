// Names shared by the installation sources.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>

// Category and class identifiers the filter instances are registered under.
// mingw's headers define neither BDA category.
extern const GUID KSCATEGORY_BDA_RECEIVER_COMPONENT;
extern const GUID KSCATEGORY_BDA_NETWORK_TUNER;
extern const CLSID CLSID_TavrixTuner;

// Instance names hold at most 99 characters and the terminator.
constexpr size_t kInstanceNameChars = 100;
// A tuner Id taken from an instance or folder name: 19 characters and the terminator.
constexpr size_t kTunerIdChars = 20;

// "ORVA Tavrix <Id>", narrow (PVR files) and wide (filter mapper). False when the
// text does not fit or cannot be converted; the buffer then holds an empty string.
bool BuildInstanceName(const char* tunerId, char* buffer, size_t chars);
bool BuildInstanceNameW(const char* tunerId, wchar_t* buffer, size_t chars);

// 1 and the tuner Id in `tunerId` (20 characters) when `friendlyName` begins with the
// instance prefix and a separator is followed by an Id of 1 to 19 characters; else 0.
int TunerNameFromFriendlyName(const wchar_t* friendlyName, char* tunerId);
