// The resident notification-area icon: hidden window, menu, refresh thread.
#pragma once

#include <windows.h>
#include <shellapi.h>

class CDevices;

class CTrayIcon {
public:
    // Registers the class, creates the hidden window, adds the icon, loads the stored
    // list and starts the refresh thread; returns at once.
    CTrayIcon* StartThread(HINSTANCE instance, CDevices* devices);
    void StopThread();
    void UpdateIcon(bool ready);

private:
    static LRESULT CALLBACK __WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static DWORD WINAPI __ThreadProc(LPVOID parameter);
    LRESULT __OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT __OnTrayMessage(HWND window, WPARAM wParam, LPARAM lParam);
    LRESULT __OnCommand(HWND window, WPARAM wParam);
    void __OnDestroy();
    void __ShowAbout(HWND window);
    bool __GetDriverVersion(char* text);
    void RefreshLoop();

    HINSTANCE instance_;
    volatile LONG running_;
    DWORD threadId_;
    HANDLE wakeEvent_;
    HANDLE thread_;
    volatile LONG refreshRunning_;
    volatile LONG iconReady_;
    NOTIFYICONDATAA notifyData_;
    UINT callbackMessage_;
    CDevices* devices_;
    char language_[10];
    char iniPath_[260];
};
