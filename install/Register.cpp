#include <windows.h>
#include <dshow.h>
#include <strsafe.h>
#include <wrl/client.h>

#include "app/Log.h"
#include "app/Names.h"
#include "app/Paths.h"
#include "devices/Devices.h"
#include "install/InstallShared.h"

using Microsoft::WRL::ComPtr;

// {FD0A5AF4-B41D-11D2-9C95-00C04F7971E0}
const GUID KSCATEGORY_BDA_RECEIVER_COMPONENT = {
    0xFD0A5AF4, 0xB41D, 0x11D2, {0x9C, 0x95, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0}};
// {71985F48-1CA1-11D3-9CC8-00C04F7971E0}
const GUID KSCATEGORY_BDA_NETWORK_TUNER = {
    0x71985F48, 0x1CA1, 0x11D3, {0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0}};
// {55994794-BB06-46B0-8C23-0CA89D30AFAD}
const CLSID CLSID_TavrixTuner = {0x55994794, 0xBB06, 0x46B0, {0x8C, 0x23, 0x0C, 0xA8, 0x9D, 0x30, 0xAF, 0xAD}};

namespace {

// The instance announces only its class and categories: no pins, never picked by merit.
REGFILTER2 TunerFilterData() {
    REGFILTER2 data = {};
    data.dwVersion = 1;
    data.dwMerit = MERIT_DO_NOT_USE;
    data.cPins = 0;
    data.rgPins = nullptr;
    return data;
}

bool RegisterInstance(IFilterMapper2* mapper, const GUID& category, const char* categoryName, const wchar_t* name,
                      const REGFILTER2& data) {
    HRESULT hr = mapper->RegisterFilter(CLSID_TavrixTuner, name, nullptr, &category, name, &data);
    if (FAILED(hr)) {
        LogMessage("Register %sBit %s failed! 0x%08x", ExeBitsText(), categoryName, static_cast<unsigned>(hr));
        return false;
    }
    return true;
}

bool RegisterBothCategories(const TunerInfo& tuner) {
    ComPtr<IFilterMapper2> mapper;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_ALL, IID_IFilterMapper2,
                                  reinterpret_cast<void**>(mapper.GetAddressOf()));
    if (FAILED(hr)) {
        LogMessage("Register %sBit create filter mapper failed! 0x%08x", ExeBitsText(), static_cast<unsigned>(hr));
        return false;
    }
    wchar_t name[kInstanceNameChars];
    BuildInstanceNameW(tuner.Id, name, kInstanceNameChars);
    const REGFILTER2 data = TunerFilterData();
    if (!RegisterInstance(mapper.Get(), KSCATEGORY_BDA_RECEIVER_COMPONENT, "KSCATEGORY_BDA_RECEIVER_COMPONENT",
                          name, data))
        return false;
    if (!RegisterInstance(mapper.Get(), KSCATEGORY_BDA_NETWORK_TUNER, "KSCATEGORY_BDA_NETWORK_TUNER", name,
                          data))
        return false;
    TraceMessage("Register %sBit BDA components registered!", ExeBitsText());
    return true;
}

}  // namespace

bool BuildInstanceName(const char* tunerId, char* buffer, size_t chars) {
    // Records hold terminated Ids; the bound keeps a damaged one from being read past its field.
    char id[kTunerIdChars] = {};
    StringCchCopyNA(id, kTunerIdChars, tunerId, kTunerIdChars - 1);
    if (FAILED(StringCchPrintfA(buffer, chars, "%s %s", kInstancePrefix, id))) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

bool BuildInstanceNameW(const char* tunerId, wchar_t* buffer, size_t chars) {
    // Narrow first, then one conversion: the wide "%S" of the CRT families differs between them.
    char narrow[kInstanceNameChars];
    if (chars == 0) return false;
    buffer[0] = L'\0';
    if (!BuildInstanceName(tunerId, narrow, kInstanceNameChars)) return false;
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, -1, buffer, static_cast<int>(chars)) == 0) {
        buffer[0] = L'\0';
        return false;
    }
    return true;
}

bool CDevices::Register(const TunerInfo& tuner) {
    try {
        return RegisterBothCategories(tuner);
    } catch (...) {
        LogMessage("Register %sBit Filter failed with unknown exception!", ExeBitsText());
        return false;
    }
}
