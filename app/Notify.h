// Window messages the program broadcasts.
#pragma once

#include <windows.h>

// Tells the TV application that the set of tuners changed.
void NotifyDeviceChange();

// The message a second copy broadcasts to bring the resident copy forward.
UINT RegisterInstanceMessage();
UINT InstanceMessage();
