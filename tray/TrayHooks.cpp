#include "tray/TrayHooks.h"

#include <atomic>

#include "devices/Devices.h"

namespace {

std::atomic<TrayHooks::MessageBoxFunction> messageBox{nullptr};
std::atomic<TrayHooks::ShellExecuteFunction> shellExecute{nullptr};
std::atomic<TrayHooks::TrackPopupMenuFunction> trackPopupMenu{nullptr};
std::atomic<TrayHooks::NotifyIconFunction> notifyIcon{nullptr};
std::atomic<TrayHooks::UpdateDevicesFunction> updateDevices{nullptr};

}  // namespace

namespace TrayHooks {

void SetMessageBox(MessageBoxFunction function) { messageBox = function; }
void SetShellExecute(ShellExecuteFunction function) { shellExecute = function; }
void SetTrackPopupMenu(TrackPopupMenuFunction function) { trackPopupMenu = function; }
void SetNotifyIcon(NotifyIconFunction function) { notifyIcon = function; }
void SetUpdateDevices(UpdateDevicesFunction function) { updateDevices = function; }

int ShowMessageBox(HWND window, LPCSTR text, LPCSTR caption, UINT type) {
    MessageBoxFunction function = messageBox;
    return function != nullptr ? function(window, text, caption, type) : MessageBoxA(window, text, caption, type);
}

HINSTANCE OpenWithShell(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, INT show) {
    ShellExecuteFunction function = shellExecute;
    return function != nullptr ? function(window, verb, file, parameters, directory, show)
                               : ShellExecuteA(window, verb, file, parameters, directory, show);
}

BOOL ShowPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND window, const RECT* rectangle) {
    TrackPopupMenuFunction function = trackPopupMenu;
    return function != nullptr ? function(menu, flags, x, y, reserved, window, rectangle)
                               : ::TrackPopupMenu(menu, flags, x, y, reserved, window, rectangle);
}

BOOL ChangeNotifyIcon(DWORD message, NOTIFYICONDATAA* data) {
    NotifyIconFunction function = notifyIcon;
    return function != nullptr ? function(message, data) : Shell_NotifyIconA(message, data);
}

DWORD RefreshDevices(CDevices& devices, bool detect) {
    UpdateDevicesFunction function = updateDevices;
    return function != nullptr ? function(devices, detect) : devices.UpdateDevices(detect);
}

}  // namespace TrayHooks
