// Seams for tests of the tray: the platform calls that would block, open windows or
// reach the shell, and the device refresh of the refresh thread. The program never
// sets them; nullptr means the real call.
#pragma once

#include <windows.h>
#include <shellapi.h>

class CDevices;

namespace TrayHooks {

using MessageBoxFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
using ShellExecuteFunction = HINSTANCE(WINAPI*)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
using TrackPopupMenuFunction = BOOL(WINAPI*)(HMENU, UINT, int, int, int, HWND, const RECT*);
using NotifyIconFunction = BOOL(WINAPI*)(DWORD, NOTIFYICONDATAA*);
using UpdateDevicesFunction = DWORD (*)(CDevices& devices, bool detect);

void SetMessageBox(MessageBoxFunction function);
void SetShellExecute(ShellExecuteFunction function);
void SetTrackPopupMenu(TrackPopupMenuFunction function);
void SetNotifyIcon(NotifyIconFunction function);
void SetUpdateDevices(UpdateDevicesFunction function);

// Used by the tray in place of the platform calls.
int ShowMessageBox(HWND window, LPCSTR text, LPCSTR caption, UINT type);
HINSTANCE OpenWithShell(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, INT show);
BOOL ShowPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND window, const RECT* rectangle);
BOOL ChangeNotifyIcon(DWORD message, NOTIFYICONDATAA* data);
DWORD RefreshDevices(CDevices& devices, bool detect);

}  // namespace TrayHooks
