// The icon's popup menu and the commands it sends back.
#include <windows.h>
#include <shellapi.h>
#include <strsafe.h>

#include <cstring>

#include "app/Log.h"
#include "app/TextLookup.h"
#include "devices/Devices.h"
#include "store/Storage.h"
#include "tray/Autostart.h"
#include "tray/DeviceRemoval.h"
#include "tray/TrayIcon.h"
#include "tray/TrayNames.h"
#include "tray/TrayText.h"

namespace {

constexpr UINT kCommandAbout = 101;
constexpr UINT kCommandAutostart = 102;
constexpr UINT kCommandDeleteTuner = 103;
constexpr UINT kCommandDeleteDevice = 104;
constexpr UINT kCommandExit = 105;
constexpr UINT kCommandRefresh = 107;
constexpr UINT kCommandSettings = 108;

constexpr UINT kStateGreyedDefault = MFS_DEFAULT | MFS_GRAYED;
// One byte per index in a command identifier.
constexpr int kMaxPositions = 256;

constexpr size_t kLabelChars = 80;
constexpr size_t kUrlChars = 256;
constexpr const char kGreyedTunerModel[] = "2040:5200:ofdm";

UINT DeviceCommand(int devicePosition, UINT command) { return static_cast<UINT>(devicePosition) * 65536 + command; }

UINT TunerCommand(int devicePosition, int tunerPosition, UINT command) {
    return static_cast<UINT>(devicePosition) * 65536 + static_cast<UINT>(tunerPosition) * 256 + command;
}

bool IsPresentDevice(const DeviceInfo& device) { return (device.Modified & ModifiedDevicePresent) != 0; }
bool IsPresentTuner(const TunerInfo& tuner) { return (tuner.Modified & ModifiedTunerPresent) != 0; }

// A record's fixed-size field as a terminated string, whatever the field holds.
template <size_t N>
void CopyField(char (&out)[N], const char (&field)[N]) {
    memcpy(out, field, N);
    out[N - 1] = '\0';
}

}  // namespace

void CTrayIcon::__AddMenuItem(HMENU menu, const char* key, UINT identifier, UINT state) {
    char text[kTextChars];
    __Lookup(key, text);
    MENUITEMINFOA item;
    ZeroMemory(&item, sizeof(item));
    item.cbSize = sizeof(item);
    item.fMask = MIIM_TYPE;
    if (identifier > 0) {
        item.fMask |= MIIM_ID;
        item.wID = identifier;
    }
    if (state != 0) {
        item.fMask |= MIIM_STATE;
        item.fState = state;
    }
    item.fType = MFT_STRING;
    item.dwTypeData = text;
    item.cch = static_cast<UINT>(strlen(text));
    InsertMenuItemA(menu, GetMenuItemCount(menu) + 1, TRUE, &item);
}

void CTrayIcon::__AddSubMenu(HMENU menu, const char* key, HMENU subMenu) {
    char text[kTextChars];
    __Lookup(key, text);
    MENUITEMINFOA item;
    ZeroMemory(&item, sizeof(item));
    item.cbSize = sizeof(item);
    item.fMask = MIIM_TYPE | MIIM_SUBMENU;
    item.fType = MFT_STRING;
    item.dwTypeData = text;
    item.cch = static_cast<UINT>(strlen(text));
    item.hSubMenu = subMenu;
    InsertMenuItemA(menu, GetMenuItemCount(menu) + 1, TRUE, &item);
}

void CTrayIcon::__AddSeparator(HMENU menu) {
    MENUITEMINFOA item;
    ZeroMemory(&item, sizeof(item));
    item.cbSize = sizeof(item);
    item.fMask = MIIM_TYPE;
    item.fType = MFT_SEPARATOR;
    InsertMenuItemA(menu, GetMenuItemCount(menu) + 1, TRUE, &item);
}

void CTrayIcon::__RememberTarget(UINT identifier, const char* deviceId, const char* tunerId) {
    CommandTarget target;
    target.identifier = identifier;
    StringCchCopyA(target.deviceId, kIdChars, deviceId);
    StringCchCopyA(target.tunerId, kIdChars, tunerId);
    commandTargets_.push_back(target);
}

const CTrayIcon::CommandTarget* CTrayIcon::__FindTarget(UINT identifier) const {
    for (const CommandTarget& target : commandTargets_)
        if (target.identifier == identifier) return &target;
    return nullptr;
}

// Every read of the list is its own hold of Lock, through copies; nothing is read from
// the list while the menu is shown.
HMENU CTrayIcon::__BuildMenu() {
    commandTargets_.clear();
    HMENU menu = CreatePopupMenu();
    __AddMenuItem(menu, TrayTitle(), 0, kStateGreyedDefault);
    int deviceCount = devices_->DeviceCount();
    if (deviceCount == 0) __AddMenuItem(menu, "NoDevices", 0, MFS_GRAYED);
    for (int position = 0; position < deviceCount && position < kMaxPositions; ++position)
        __AddDeviceRows(menu, position);
    __AddSeparator(menu);
    if (refreshRunning_)
        __AddMenuItem(menu, "RefreshRunning", kCommandRefresh, MFS_GRAYED);
    else
        __AddMenuItem(menu, "Refresh", kCommandRefresh, 0);
    __AddMenuItem(menu, "Autostart", kCommandAutostart, UpdateAutostart(false) ? MFS_CHECKED : 0);
    __AddSeparator(menu);
    __AddMenuItem(menu, "About", kCommandAbout, 0);
    __AddMenuItem(menu, "Exit", kCommandExit, 0);
    return menu;
}

// A box that left the list between two reads is skipped; the next menu is right again.
void CTrayIcon::__AddDeviceRows(HMENU menu, int devicePosition) {
    DeviceInfo device;
    if (!devices_->GetDevice(devicePosition, device)) return;
    char ip[kIdChars];
    char name[kNameChars];
    CopyField(ip, device.Ip);
    CopyField(name, device.Name);
    device.Id[kIdChars - 1] = '\0';

    HMENU deviceMenu = CreatePopupMenu();
    __AddMenuItem(deviceMenu, ip, 0, MFS_GRAYED);
    if (IsPresentDevice(device)) {
        UINT identifier = DeviceCommand(devicePosition, kCommandSettings);
        __AddMenuItem(deviceMenu, "Settings", identifier, 0);
        __RememberTarget(identifier, device.Id, "");
    } else {
        UINT identifier = DeviceCommand(devicePosition, kCommandDeleteDevice);
        __AddMenuItem(deviceMenu, "Delete", identifier, 0);
        __RememberTarget(identifier, device.Id, "");
    }
    __AddSeparator(menu);
    __AddSubMenu(menu, name, deviceMenu);

    int tunerCount = devices_->TunerCount(devicePosition);
    if (tunerCount == 0) __AddMenuItem(menu, "NoTuners", 0, MFS_GRAYED);
    for (int tunerPosition = 0; tunerPosition < tunerCount && tunerPosition < kMaxPositions; ++tunerPosition)
        __AddTunerRow(menu, devicePosition, device, tunerPosition);
}

void CTrayIcon::__AddTunerRow(HMENU menu, int devicePosition, const DeviceInfo& device, int tunerPosition) {
    TunerInfo tuner;
    if (!devices_->GetTuner(devicePosition, tunerPosition, tuner)) return;
    char unknown[kTextChars];
    __Lookup("Unknown", unknown);
    char label[kLabelChars];
    FormatTunerLabel(tuner, unknown, label, kLabelChars);
    if (IsPresentTuner(tuner)) {
        __AddMenuItem(menu, label, 0, 0);
        return;
    }
    if (strncmp(tuner.Model, kGreyedTunerModel, kIdChars) == 0) {
        __AddMenuItem(menu, label, 0, MFS_GRAYED);
        return;
    }
    UINT identifier = TunerCommand(devicePosition, tunerPosition, kCommandDeleteTuner);
    HMENU tunerMenu = CreatePopupMenu();
    __AddMenuItem(tunerMenu, "Delete", identifier, 0);
    __AddSubMenu(menu, label, tunerMenu);
    tuner.Id[kIdChars - 1] = '\0';
    __RememberTarget(identifier, device.Id, tuner.Id);
}

LRESULT CTrayIcon::__OnTrayMessage(HWND window, WPARAM wParam, LPARAM lParam) {
    (void)wParam;
    UINT mouse = static_cast<UINT>(static_cast<ULONG_PTR>(lParam) & 0xFFFFFFFFu);
    if (mouse != WM_LBUTTONDOWN && mouse != WM_RBUTTONDOWN) return 0;
    HMENU menu = __BuildMenu();
    SetForegroundWindow(window);
    POINT cursor = {};
    GetCursorPos(&cursor);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
    DestroyMenu(menu);
    PostMessageA(window, WM_NULL, 0, 0);
    return 0;
}

LRESULT CTrayIcon::__OnCommand(HWND window, WPARAM wParam) {
    UINT identifier = static_cast<UINT>(wParam);
    UINT command = identifier & 0xFF;
    int tunerPosition = static_cast<int>((identifier >> 8) & 0xFF);
    int devicePosition = static_cast<int>((identifier >> 16) & 0xFF);
    switch (command) {
        case kCommandAbout:
            __ShowAbout(window);
            break;
        case kCommandAutostart:
            UpdateAutostart(true);
            break;
        case kCommandExit:
            PostMessageA(window, WM_DESTROY, 0, 0);
            break;
        case kCommandRefresh:
            StorageFlagsForceInstall();
            SetEvent(wakeEvent_.Get());
            break;
        case kCommandDeleteTuner:
        case kCommandDeleteDevice:
        case kCommandSettings: {
            // Only rows of the last menu carry these; anything else is not ours to act on.
            const CommandTarget* target = __FindTarget(identifier);
            if (target == nullptr) break;
            CommandTarget chosen = *target;
            if (command == kCommandSettings)
                __OpenSettings(devicePosition, chosen);
            else if (command == kCommandDeleteDevice)
                __DeleteDevice(devicePosition, chosen);
            else
                __DeleteTuner(devicePosition, tunerPosition, chosen);
            break;
        }
        default:
            break;
    }
    return 0;
}

void CTrayIcon::__OpenSettings(int devicePosition, const CommandTarget& target) {
    DeviceInfo device;
    if (!devices_->GetDevice(devicePosition, device)) return;
    if (strncmp(device.Id, target.deviceId, kIdChars) != 0) return;
    char ip[kIdChars];
    CopyField(ip, device.Ip);
    char path[kUrlChars];
    GetPrivateProfileStringA("settings", "settingsPath", "/", path, kUrlChars, iniPath_);
    char url[kUrlChars];
    if (!FormatSettingsUrl(ip, path, url, kUrlChars)) {
        LogMessage("CTrayIcon::Settings: URL too long, not opened");
        return;
    }
    ShellExecuteA(nullptr, "open", url, nullptr, nullptr, SW_SHOWNORMAL);
}

void CTrayIcon::__DeleteDevice(int devicePosition, const CommandTarget& target) {
    RemoveAbsentDevice(*devices_, devicePosition, target.deviceId);
}

void CTrayIcon::__DeleteTuner(int devicePosition, int tunerPosition, const CommandTarget& target) {
    RemoveAbsentTuner(*devices_, devicePosition, tunerPosition, target.deviceId, target.tunerId);
}
