// Entry point: single-instance rule, start line, then one job or the tray.
#include <windows.h>
#include <commctrl.h>

#include <cstring>

#include "app/Jobs.h"
#include "app/Log.h"
#include "app/Names.h"
#include "app/Notify.h"
#include "app/Paths.h"
#include "app/Privileges.h"
#include "app/Scoped.h"
#include "devices/Devices.h"
#include "store/Storage.h"
#include "tray/TrayIcon.h"

namespace {

bool ExemptFromSingleInstance(const char* commandLine) {
    return _stricmp(commandLine, "-i") == 0 || _stricmp(commandLine, "-r") == 0;
}

void LogStartLine(HINSTANCE instance, const char* commandLine) {
    LogMessage("[0x%08x] CmdLine:%s  System:%dBit  Exe:%dBit  IsAdmin:%s\n",
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(instance)), commandLine, IsSystem64Bit() ? 64 : 32,
               IsExe64Bit() ? 64 : 32, IsAdmin() ? "yes" : "no");
}

void RunTray(HINSTANCE instance, CDevices& devices) {
    CTrayIcon tray;
    tray.StartThread(instance, &devices);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// The list and its lock live exactly as long as the job or the tray.
void RunMode(HINSTANCE instance, const char* options) {
    bool trayMode = options[0] == '\0';
    if (trayMode) InitCommonControls();
    CDevices devices;
    CDevicesLockLifetime lock(devices);
    if (trayMode)
        RunTray(instance, devices);
    else
        RunJob(options, devices);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    const char* options = commandLine != nullptr ? commandLine : "";
    UINT instanceMessage = RegisterInstanceMessage();
    CScopedHandle instanceMutex(CreateMutexA(nullptr, FALSE, kInstanceName));
    DWORD error = GetLastError();
    if (!instanceMutex.IsValid()) {
        LogMessage("Error, create mutex failed.  EC=0x%08x", error);
        return 0;
    }
    if (error == ERROR_ALREADY_EXISTS && !ExemptFromSingleInstance(options)) {
        PostMessageA(HWND_BROADCAST, instanceMessage, 0, 0);
        return 0;
    }
    CComInitialization com;
    LogStartLine(instance, options);
    StorageFlagsHandle();
    RunMode(instance, options);
    instanceMutex.Reset();
    return 0;
}
