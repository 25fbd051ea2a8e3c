// The resident notification-area icon: hidden window, menu, refresh thread.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "app/Scoped.h"
#include "devices/Records.h"

class CDevices;

// The notification picture (resource 102 when `ready`, else 101) at the system's small-icon
// size for the current DPI, so that the shell need not shrink the 32-pixel image. The caller
// owns the icon.
HICON LoadNotifyIcon(HINSTANCE instance, bool ready);

class CTrayIcon {
public:
    CTrayIcon() = default;
    // Whatever ended the message loop: the window lets go of the object, the thread is
    // joined, the icon removed and the window destroyed.
    ~CTrayIcon();
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    // Registers the class, creates the hidden window, adds the icon, loads the stored
    // list and starts the refresh thread; returns at once.
    CTrayIcon* StartThread(HINSTANCE instance, CDevices* devices);
    void StopThread();
    void UpdateIcon(bool ready);

private:
    // What a menu row that carries a command referred to when the menu was built, so that
    // a command arriving after the list has changed acts only on the same record.
    struct CommandTarget {
        UINT identifier;
        char deviceId[kIdChars];
        char tunerId[kIdChars];
    };

    static LRESULT CALLBACK __WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static DWORD WINAPI __ThreadProc(LPVOID parameter);
    LRESULT __OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT __OnTrayMessage(HWND window, WPARAM wParam, LPARAM lParam);
    LRESULT __OnCommand(HWND window, WPARAM wParam);
    void __OnDestroy();
    void __OnTaskbarCreated();
    void __ShowAbout(HWND window);
    bool __GetDriverVersion(char* text);

    void __AddMenuItem(HMENU menu, const char* key, UINT identifier, UINT state);
    void __AddSubMenu(HMENU menu, const char* key, HMENU subMenu);
    void __AddSeparator(HMENU menu);
    HMENU __BuildMenu();
    void __AddDeviceRows(HMENU menu, int devicePosition);
    void __AddTunerRow(HMENU menu, int devicePosition, const DeviceInfo& device, int tunerPosition);
    void __RememberTarget(UINT identifier, const char* deviceId, const char* tunerId);
    const CommandTarget* __FindTarget(UINT identifier) const;
    void __OpenSettings(int devicePosition, const CommandTarget& target);
    void __DeleteDevice(int devicePosition, const CommandTarget& target);
    void __DeleteTuner(int devicePosition, int tunerPosition, const CommandTarget& target);

    void __RegisterWindowClass();
    void __CreateWindow();
    void __AddIcon();
    void __RemoveIcon();
    void __SetIconPicture(bool ready);
    void __StartRefreshThread();
    void __RefreshLoop();
    void __RefreshCycle();
    void __Lookup(const char* key, char* text);

    HINSTANCE instance_ = nullptr;
    std::atomic<bool> running_{false};
    DWORD threadId_ = 0;
    CScopedHandle wakeEvent_;
    CScopedHandle thread_;
    std::atomic<bool> refreshRunning_{false};
    std::atomic<bool> iconReady_{false};
    NOTIFYICONDATAA notifyData_ = {};
    CScopedIcon notifyPicture_;  // the picture notifyData_ hands to the shell
    bool iconShown_ = false;     // between the add and Exit's removal; a restarted shell gets it back only then
    std::mutex notifyMutex_;     // the refresh thread and a shell restart both touch notifyData_
    UINT callbackMessage_ = 0;
    UINT taskbarCreatedMessage_ = 0;
    CDevices* devices_ = nullptr;
    HWND window_ = nullptr;
    char language_[10] = {};
    char iniPath_[260] = {};
    std::vector<CommandTarget> commandTargets_;  // UI thread only
};
