#include "app/Jobs.h"

#include <windows.h>

#include <cstring>

#include "app/Log.h"
#include "app/Notify.h"
#include "app/Privileges.h"
#include "app/Scoped.h"
#include "devices/Devices.h"
#include "store/Storage.h"

namespace {

constexpr const char kUsage[] =
    "Cmdline: TavrixInstall [parameter]\n-I: detect and install\n-i: install\n-R: uninstall ALL\n"
    "-r: uninstall no longer available\n";

// The option must be the whole command line: two characters and the terminator.
bool IsOption(const char* commandLine, const char* option) { return strncmp(commandLine, option, 3) == 0; }

void InstallAndNotify(CDevices& devices) {
    if (devices.Install()) NotifyDeviceChange();
}

void DetectAndInstall(CDevices& devices) {
    DWORD changes = devices.UpdateDevices(true);
    if ((changes & ModifiedNeedsInstall) == 0) return;
    bool admin = IsAdmin();
    if (admin) InstallAndNotify(devices);
    StartFollowUp(admin, "-i");
}

void InstallStored(CDevices& devices) {
    devices.UpdateDevices(false);
    bool admin = IsAdmin();
    if (admin) InstallAndNotify(devices);
    StartFollowUp(admin, "-i");
}

void UninstallAll(CDevices& devices) {
    bool admin = IsAdmin();
    if (admin) {
        {
            CCriticalSectionHold hold(devices.Lock);
            devices.ClearDevices();
            CStorage storage;
            storage.SaveDevices(devices.Devices);
        }
        devices.Uninstall();
        if (devices.DeletePvrFolders()) NotifyDeviceChange();
    }
    StartFollowUp(admin, "-r");
}

void UninstallUnavailable(CDevices& devices) {
    devices.UpdateDevices(false);
    UninstallUnlistedAndReinstall(devices);
}

}  // namespace

void UninstallUnlistedAndReinstall(CDevices& devices) {
    bool admin = IsAdmin();
    if (admin) {
        devices.Uninstall();
        bool cleaned = devices.DeletePvrFolders();
        bool installed = devices.Install();
        if (installed || cleaned) NotifyDeviceChange();
    }
    StartFollowUp(admin, "-r");
}

void RunJob(const char* commandLine, CDevices& devices) {
    if (IsOption(commandLine, "-I"))
        DetectAndInstall(devices);
    else if (IsOption(commandLine, "-i"))
        InstallStored(devices);
    else if (IsOption(commandLine, "-R"))
        UninstallAll(devices);
    else if (IsOption(commandLine, "-r"))
        UninstallUnavailable(devices);
    else
        LogMessage(kUsage);
}
