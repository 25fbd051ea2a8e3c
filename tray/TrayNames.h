// Names of the tray's window, callback message and title; each bitness has its own,
// so that the 32-bit and the 64-bit copy never answer each other's icon.
#pragma once

const char* TrayClassName();
const char* TrayCallbackMessageName();
// Window title, tooltip, menu title and About caption.
const char* TrayTitle();
