#include "app/Notify.h"

#include <dbt.h>

#include "app/Names.h"

namespace {
UINT instanceMessage = 0;
}

void NotifyDeviceChange() { PostMessageA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0); }

UINT RegisterInstanceMessage() {
    instanceMessage = RegisterWindowMessageA(kInstanceName);
    return instanceMessage;
}

UINT InstanceMessage() { return instanceMessage; }
