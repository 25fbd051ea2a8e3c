#include <windows.h>

#include "app/Paths.h"
#include "app/Scoped.h"
#include "devices/Devices.h"
#include "store/Storage.h"

namespace {

// The Flags bits this run completed for the program's bitness.
DWORD CompletionMask(bool exe64Bit, bool registerFailed, bool pvrFilesFailed) {
    DWORD mask = 0;
    if (!registerFailed) mask |= exe64Bit ? FLAG_PENDING_FILTERS64 : FLAG_PENDING_FILTERS32;
    if (!exe64Bit && !pvrFilesFailed) mask |= FLAG_PENDING_PVR;
    return mask;
}

void ClearCompletedFlags(DWORD completed) {
    // Other copies of the program update Flags too; the mutex keeps the sequences apart.
    CNamedMutexHold hold(kStoreMutexName);
    DWORD flags = StorageFlagsRead();
    StorageFlagsWrite(flags & ~completed);
}

}  // namespace

bool CDevices::Install() {
    bool registerFailed = false;
    bool pvrFilesFailed = false;
    {
        // The tray's menu and refresh thread change the list; neither may do so mid-walk.
        CCriticalSectionHold hold(Lock);
        for (const DeviceInfo& device : Devices) {
            for (const TunerInfo& tuner : device.Tuners) {
                if (!Register(tuner)) registerFailed = true;
                if (!PvrFiles(device, tuner)) pvrFilesFailed = true;
            }
        }
    }
    DWORD completed = CompletionMask(IsExe64Bit(), registerFailed, pvrFilesFailed);

    // Asked again only for its log line when the folder is missing.
    char pvrFolder[kPathChars];
    GetPvrSourcePath(pvrFolder, kPathChars);

    ClearCompletedFlags(completed);
    return !pvrFilesFailed;
}
